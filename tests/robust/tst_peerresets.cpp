// Peers that reset in the middle of a file: a thousand of them must leave no
// descriptor, file or armed timer behind, and every slot must be usable again.
#include "RobustSupport.h"
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

#include <sys/resource.h>
#include <unistd.h>

using namespace vanterel;
using namespace vanterel::robust;
using vanterel::http::Server;
using vanterel::http::SocketArray;

namespace {

constexpr int Clients = 1000;
// Connections made before the server has had a chance to accept them; kept
// below the listener's backlog so that connect() never waits for a retry.
constexpr int ConnectBatch = 40;
// Big enough that no transfer is near its end when its client resets, even
// with a single client on an idle machine. Sparse: costs no disk.
constexpr qint64 BigFileSize = qint64(64) * 1024 * 1024;

const QByteArray Signature = "Vanterel Version 1.1.0";

struct Client {
    int fd = -1;
    // Bytes received before the client resets: 0 resets right after the
    // request is sent, before the server has even read it.
    qint64 resetAfter = 0;
    QByteArray received;
    bool reset = false;
};

} // namespace

class TestPeerResets : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<testing::ServedFolder> served;
    Server *server = nullptr;
    int accepted = 0;

    quint16 port() const { return quint16(served->settings.ServerPort); }

    QByteArray bigHeader() const
    {
        return http::fileHeader(QString::fromLatin1(Signature), http::contentRuleFor(QStringLiteral("/big.zip")),
                                BigFileSize);
    }

    // Every slot as a closed connection leaves it; an empty text when so,
    // else what the first slot that is not says about itself.
    QString slotLeftovers() const
    {
        for (int i = 1; i <= server->Sck().UBound(); ++i) {
            const http::ConnectionSlot &slot = server->Slot(i);
            const int state = server->Sck().State(i);
            if (state != SocketArray::StateClosed || slot.File || server->TimerArmed(i) || slot.BytesToSend != 0
                || slot.BytesSent != 0 || slot.Closing)
                return QStringLiteral("slot %1: state %2, file %3, timer %4, to send %5, sent %6, closing %7")
                    .arg(i).arg(state).arg(bool(slot.File)).arg(server->TimerArmed(i))
                    .arg(slot.BytesToSend).arg(slot.BytesSent).arg(slot.Closing);
        }
        return {};
    }

    // Connects count clients, each sending its request at once, a batch at a
    // time; returns once the server has accepted all of them.
    bool connectClients(std::vector<Client> &clients, int count, int firstNumber)
    {
        static constexpr qint64 moments[] = {0, 1, 60, 2048, 6 * 2048};
        const QByteArray request = "GET /big.zip HTTP/1.1\r\nHost: test\r\n\r\n";
        for (int i = 0; i < count; ++i) {
            Client c;
            c.fd = connectNew(port());
            if (c.fd < 0)
                return false;
            const qint64 moment = moments[(firstNumber + i) % std::size(moments)];
            // 60 bytes lie inside the header; the others count from its end.
            c.resetAfter = moment <= 60 ? moment : bigHeader().size() + moment;
            if (!sendAll(c.fd, request))
                return false;
            clients.push_back(std::move(c));
            const int waiting = firstNumber + i + 1;
            if ((i + 1) % ConnectBatch == 0 || i + 1 == count) {
                if (!QTest::qWaitFor([&] { return accepted >= waiting; }, 10000))
                    return false;
            }
        }
        return true;
    }

    // Reads on every client until each has received what it waits for;
    // resetNow makes each reset as soon as it gets there.
    bool readUntilMoments(std::vector<Client> &clients, bool resetNow, QString &why)
    {
        const qint64 whole = bigHeader().size() + BigFileSize;
        return QTest::qWaitFor([&] {
            bool all = true;
            for (std::size_t i = 0; i < clients.size(); ++i) {
                Client &c = clients[i];
                if (c.reset)
                    continue;
                if (c.resetAfter > 0 && !readAvailable(c.fd, c.received)) {
                    why = QStringLiteral("client %1: the server ended the connection after %2 bytes")
                              .arg(i).arg(c.received.size());
                    return true;
                }
                if (c.received.size() < c.resetAfter) {
                    all = false;
                    continue;
                }
                if (c.received.size() >= whole) {
                    why = QStringLiteral("client %1 got the whole file: not a reset mid-transfer").arg(i);
                    return true;
                }
                if (resetNow) {
                    resetAndClose(c.fd);
                    c.reset = true;
                }
            }
            return all;
        }, 60000) && why.isEmpty();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("htdocs")));
        QFile big(dir.filePath(QStringLiteral("htdocs/big.zip")));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(BigFileSize));
        QFile index(dir.filePath(QStringLiteral("htdocs/index.htm")));
        QVERIFY(index.open(QIODevice::WriteOnly) && index.write("<p>panel</p>") == 12);
        // The server's sockets and files plus ours, with room to spare.
        QVERIFY2(currentSoftFileLimit() > rlim_t(3 * Clients + 200),
                 "the open-file limit is too low for this test");
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

    void resets_leaveNothingBehind_data()
    {
        QTest::addColumn<int>("wave");
        QTest::addRow("1000 clients, 100 at a time, each resetting at its own moment") << 100;
        // All resets reach the server in one burst: every close lets events
        // run, so the closes of the others happen inside each other.
        QTest::addRow("1000 clients mid-transfer at once, resetting together") << Clients;
    }

    void resets_leaveNothingBehind()
    {
        QFETCH(int, wave);
        const int baseline = openDescriptorCount();
        QVERIFY(baseline > 0);

        for (int start = 0; start < Clients; start += wave) {
            std::vector<Client> clients;
            const int count = std::min(wave, Clients - start);
            QVERIFY2(connectClients(clients, count, start), "could not connect every client");
            QString why;
            const bool eachInTurn = wave < Clients;
            QVERIFY2(readUntilMoments(clients, eachInTurn, why),
                     why.isEmpty() ? "the transfers did not get going" : qPrintable(why));
            for (Client &c : clients) {
                if (!c.reset)
                    resetAndClose(c.fd);
            }
        }

        QTRY_VERIFY2_WITH_TIMEOUT(slotLeftovers().isEmpty(), qPrintable(slotLeftovers()), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptorCount(), baseline, 10000);
        QVERIFY(!served->log.messages.contains(QStringLiteral("Finished Transfer.")));

        // The next connection takes slot 1 again and is served in full.
        QSignalSpy arrivals(&server->Sck(), &SocketArray::DataArrival);
        const int fd = connectNew(port());
        QVERIFY(fd >= 0);
        QVERIFY(sendAll(fd, "GET /index.htm HTTP/1.1\r\n\r\n"));
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&] { return !readAvailable(fd, got); }, 10000));
        ::close(fd);
        QVERIFY(!arrivals.isEmpty());
        QCOMPARE(arrivals.first().first().toInt(), 1);
        QCOMPARE(got, http::fileHeader(QString::fromLatin1(Signature),
                                       http::contentRuleFor(QStringLiteral("/index.htm")), 12)
                          + "<p>panel</p>");
        QTRY_COMPARE(openDescriptorCount(), baseline);
    }
};

// Each close lets events run, and those events close other slots: a burst of
// resets nests closes inside each other. On the usual 8 MiB stack a thousand
// nested closes still fit, a few thousand would not; the test runs itself on
// a 1 MiB stack, where a thousand do not fit unless the nesting is bounded.
int main(int argc, char *argv[])
{
    constexpr rlim_t StackBytes = 1024 * 1024;
    rlimit stack {};
    if (::getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur > StackBytes
        && qEnvironmentVariableIsEmpty("VANTEREL_SMALL_STACK")) {
        stack.rlim_cur = StackBytes;
        qputenv("VANTEREL_SMALL_STACK", "1");
        if (::setrlimit(RLIMIT_STACK, &stack) == 0)
            ::execv("/proc/self/exe", argv);
        qWarning("could not run on a small stack; nesting goes untested");
    }
    QCoreApplication app(argc, argv);
    TestPeerResets test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_peerresets.moc"
