// Connections that never send anything: however many there are, they cannot
// keep a real request out. The server closes a connection that has asked for
// nothing within its idle time, and the program starts with the open-file
// limit raised as far as it is allowed.
#include "RobustSupport.h"
#include "app/OpenFileLimit.h"
#include "common/Settings.h"
#include "http/RequestHandler.h"
#include "http/Responses.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ServedFolder.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using namespace vanterel;
using namespace vanterel::robust;
using vanterel::http::Server;
using vanterel::http::SocketArray;

namespace {

constexpr int IdleClients = 2000;
// Descriptors the server may open while the idle clients are connected:
// room for about a third of them at once.
constexpr int ServerBudget = 700;
// Connections made before the server has taken them in; below the
// listener's backlog (50), so that connect() never waits on a SYN retry.
constexpr int ConnectBatch = 40;
constexpr auto ShortIdle = 250ms;

const QByteArray Page = "<p>panel</p>";

} // namespace

class TestIdleConnections : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<testing::ServedFolder> served;
    Server *server = nullptr;
    int accepted = 0;

    quint16 port() const { return quint16(served->settings.ServerPort); }

    QByteArray pageResponse() const
    {
        return http::fileHeader(served->settings.ServerSignature, http::contentRuleFor(QStringLiteral("/index.htm")),
                                Page.size())
            + Page;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("htdocs")));
        QFile index(dir.filePath(QStringLiteral("htdocs/index.htm")));
        QVERIFY(index.open(QIODevice::WriteOnly) && index.write(Page) == Page.size());
        QFile big(dir.filePath(QStringLiteral("htdocs/big.zip")));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(64) * 1024 * 1024));
    }

    void init()
    {
        served = std::make_unique<testing::ServedFolder>(dir.filePath(QStringLiteral("htdocs")));
        server = &served->server;
        accepted = 0;
        connect(&server->Sck(), &SocketArray::ConnectionRequest, this, [this] { ++accepted; });
        QVERIFY(server->StartListening());
    }

    void cleanup()
    {
        server = nullptr;
        served.reset();
    }

    void manyIdleConnections_cannotLockTheServerOut()
    {
        server->setIdleTimeout(ShortIdle);
        QSignalSpy idleClosed(server, &Server::IdleClosed);

        // Our own sockets exist before the limit comes down, which then
        // leaves the server its budget and no more.
        std::vector<int> idle;
        for (int i = 0; i < IdleClients; ++i) {
            idle.push_back(newSocket());
            QVERIFY(idle.back() >= 0);
        }
        const int normal = newSocket();
        QVERIFY(normal >= 0);
        FileLimitGuard limit;
        QVERIFY(limit.setSoft(rlim_t(highestDescriptor() + 1 + ServerBudget)));

        // Each batch waits until the server has taken it in, which after the
        // first third it can only do by letting go of connections that sat
        // idle. A server that kept them would stop here.
        for (int i = 0; i < IdleClients; ++i) {
            QVERIFY(connectTo(idle[std::size_t(i)], port()));
            setNonBlocking(idle[std::size_t(i)]);
            if ((i + 1) % ConnectBatch == 0 || i + 1 == IdleClients) {
                const int waiting = i + 1;
                QVERIFY2(runUntil([&] { return accepted >= waiting; }, 10000),
                         qPrintable(QStringLiteral("the server took in %1 of %2 connections and no more")
                                        .arg(accepted).arg(waiting)));
            }
        }

        // A real request is answered.
        QVERIFY(connectTo(normal, port()));
        setNonBlocking(normal);
        QVERIFY(sendAll(normal, "GET /index.htm HTTP/1.1\r\nHost: t\r\n\r\n"));
        bool ended = false;
        const QByteArray got = readUntilClosed(normal, 10000, &ended);
        ::close(normal);
        QVERIFY(ended);
        QCOMPARE(got, pageResponse());

        // Every idle connection was closed by the server, without a word.
        QVERIFY(runUntil([&] { return idleClosed.size() >= IdleClients; }, 10000));
        QCOMPARE(idleClosed.size(), IdleClients);
        for (std::size_t i = 0; i < idle.size(); ++i) {
            QByteArray nothing;
            QVERIFY2(!readAvailable(idle[i], nothing) && nothing.isEmpty(),
                     qPrintable(QStringLiteral("idle client %1: %2 bytes, still open").arg(i).arg(nothing.size())));
            ::close(idle[i]);
        }
        QCOMPARE(served->log.messages.count(QStringLiteral("Finished Transfer.")), 1);
        // Slots were reused as the idle ones went: far fewer were made than
        // there were connections.
        QVERIFY2(server->SlotCount() - 1 < IdleClients / 2, qPrintable(QString::number(server->SlotCount())));
    }

    void idleTimeout_spareConnectionsThatAskedForSomething()
    {
        server->setIdleTimeout(ShortIdle);
        QSignalSpy idleClosed(server, &Server::IdleClosed);

        // A download whose client does not read: it asked, so it stays open
        // as long as its client keeps it (the transfer just waits).
        const int reader = newSocket();
        const int smallBuffer = 4096;
        QCOMPARE(::setsockopt(reader, SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer), 0);
        QVERIFY(connectTo(reader, port()));
        QVERIFY(sendAll(reader, "GET /big.zip HTTP/1.1\r\n\r\n"));
        QVERIFY(runUntil([&] { return server->SlotCount() > 1 && server->Slot(1).File; }, 5000));

        // Two connections that ask for nothing, one after the other, each
        // accepted later than the download, so each times out after it would.
        for (int round = 0; round < 2; ++round) {
            const int silent = connectNew(port());
            QVERIFY(silent >= 0);
            QVERIFY(idleClosed.wait(5000));
            QCOMPARE(idleClosed.last().first().toInt(), 2);
            bool ended = false;
            QCOMPARE(readUntilClosed(silent, 1000, &ended), QByteArray());
            QVERIFY(ended);
            ::close(silent);
            QCOMPARE(server->Sck().State(1), int(SocketArray::StateConnected));
            QVERIFY(server->Slot(1).File);
        }
        QCOMPARE(idleClosed.size(), 2);
        resetAndClose(reader);
        QVERIFY(runUntil([&] { return !server->Slot(1).File; }, 5000));
    }

    void idleConnection_costsTheServerOneDescriptor()
    {
        constexpr int count = 500;
        const int before = openDescriptorCount();
        std::vector<int> clients;
        for (int i = 0; i < count; ++i) {
            clients.push_back(connectNew(port()));
            QVERIFY(clients.back() >= 0);
            if ((i + 1) % ConnectBatch == 0)
                QVERIFY(runUntil([&] { return accepted >= i + 1; }, 5000));
        }
        QVERIFY(runUntil([&] { return accepted >= count; }, 5000));
        // Ours and the server's end of each, nothing else.
        QCOMPARE(openDescriptorCount() - before, 2 * count);
        for (int fd : clients)
            ::close(fd);
        QVERIFY(runUntil([&] { return openDescriptorCount() == before; }, 5000));
    }

    void raiseOpenFileLimit_data()
    {
        QTest::addColumn<bool>("fromLow");
        QTest::addRow("a low soft limit goes up to the hard one") << true;
        QTest::addRow("a soft limit already above what is wanted stays") << false;
    }

    void raiseOpenFileLimit()
    {
        QFETCH(bool, fromLow);
        FileLimitGuard limit;
        const rlim_t wanted = std::min(limit.hard(), rlim_t(app::OpenFilesWanted));
        rlim_t start = 256;
        if (fromLow) {
            if (limit.hard() <= start)
                QSKIP("the hard limit leaves nothing to raise");
        } else {
            if (limit.hard() <= rlim_t(app::OpenFilesWanted))
                QSKIP("the hard limit is below what the program wants: nothing can be above it");
            start = limit.hard();
        }
        QVERIFY(limit.setSoft(start));
        const rlim_t expected = std::max(start, wanted);
        QCOMPARE(app::RaiseOpenFileLimit(), qint64(expected));
        QCOMPARE(currentSoftFileLimit(), expected);
    }
};

QTEST_GUILESS_MAIN(TestIdleConnections)
#include "tst_idleconnections.moc"
