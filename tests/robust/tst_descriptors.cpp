// Out of file descriptors: connections keep coming while the server can take
// none of them. It must neither spin nor go deaf: it rests, and serves again
// soon after descriptors come free.
#include "RobustSupport.h"
#include "common/Settings.h"
#include "http/RequestHandler.h"
#include "http/Responses.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ServedFolder.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

using namespace vanterel;
using namespace vanterel::robust;
using vanterel::http::Server;
using vanterel::http::SocketArray;

namespace {

// Connections that arrive while no descriptor is free; below the listener's
// backlog (50), so that every one of them waits there rather than in SYN
// retries that the system spaces out by seconds.
constexpr int Flood = 45;
// Times the server finds it cannot accept before the test judges how it rested.
constexpr int RetriesWatched = 5;

qint64 cpuMicroseconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec
        + usage.ru_stime.tv_usec;
}

} // namespace

class TestDescriptors : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("htdocs")));
        QFile index(dir.filePath(QStringLiteral("htdocs/index.htm")));
        QVERIFY(index.open(QIODevice::WriteOnly) && index.write("<p>panel</p>") == 12);
    }

    void noDescriptorLeft_serverRestsThenServesOnceTheyComeFree()
    {
        testing::ServedFolder served(dir.filePath(QStringLiteral("htdocs")));
        Settings &settings = served.settings;
        Server &server = served.server;
        testing::RecordingLog &log = served.log;
        QVERIFY(server.StartListening());
        const quint16 port = quint16(settings.ServerPort);

        // Every socket of ours exists before the limit comes down: the limit
        // bars new descriptor numbers, not the ones already open.
        std::vector<int> flood;
        for (int i = 0; i < Flood; ++i) {
            flood.push_back(newSocket());
            QVERIFY(flood.back() >= 0);
        }
        const int late = newSocket();
        QVERIFY(late >= 0);

        // Then every number below the limit is taken.
        FileLimitGuard limit;
        QVERIFY(limit.setSoft(rlim_t(highestDescriptor() + 1 + 8)));
        std::vector<int> ballast;
        for (int fd; (fd = ::dup(late)) >= 0;)
            ballast.push_back(fd);
        QCOMPARE(errno, EMFILE);
        QVERIFY(!ballast.empty());

        QSignalSpy acceptErrors(&server.Sck(), &SocketArray::AcceptError);
        for (int fd : flood) {
            QVERIFY(connectTo(fd, port));
            setNonBlocking(fd);
            QVERIFY(sendAll(fd, "GET / HTTP/1.1\r\nHost: flood\r\n\r\n"));
        }
        QVERIFY(acceptErrors.wait(5000));

        // The listener is readable all this while. A server that tried again
        // at once would keep the event loop awake and burn a processor; this
        // one sleeps between tries, woken only to try again.
        int wakeUps = 0;
        const QMetaObject::Connection counting = connect(
            QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, this, [&] { ++wakeUps; });
        QElapsedTimer wall;
        wall.start();
        const qint64 cpuBefore = cpuMicroseconds();
        for (int i = 0; i < RetriesWatched; ++i)
            QVERIFY(acceptErrors.wait(5000));
        const qint64 cpuUsed = cpuMicroseconds() - cpuBefore;
        const qint64 wallUsed = wall.nsecsElapsed() / 1000;
        disconnect(counting);
        QVERIFY2(wakeUps <= 10 * RetriesWatched,
                 qPrintable(QStringLiteral("%1 wake-ups in %2 failed accepts").arg(wakeUps).arg(RetriesWatched)));
        QVERIFY2(cpuUsed * 4 < wallUsed,
                 qPrintable(QStringLiteral("%1 us of processor time in %2 us").arg(cpuUsed).arg(wallUsed)));
        QCOMPARE(server.SlotCount(), 1); // nothing was accepted meanwhile
        QCOMPARE(log.messages, QStringList());

        // Descriptors come free: the waiting connections and one made now are
        // all served, the new one well within a second.
        for (int fd : ballast)
            ::close(fd);
        ballast.clear();
        QVERIFY(connectTo(late, port));
        setNonBlocking(late);
        QVERIFY(sendAll(late, "GET /index.htm HTTP/1.1\r\n\r\n"));
        bool ended = false;
        const QByteArray page = readUntilClosed(late, 1000, &ended);
        QVERIFY2(ended, "not served within a second of descriptors coming free");
        const QByteArray expected =
            http::fileHeader(settings.ServerSignature, http::contentRuleFor(QStringLiteral("/index.htm")), 12)
            + "<p>panel</p>";
        QCOMPARE(page, expected);
        ::close(late);

        const QByteArray redirect = http::redirectResponse(QStringLiteral("flood"));
        for (std::size_t i = 0; i < flood.size(); ++i) {
            const QByteArray got = readUntilClosed(flood[i], 5000, &ended);
            QVERIFY2(ended && got == redirect, qPrintable(QStringLiteral("flood connection %1 got: ").arg(i)
                                                 + QString::fromLatin1(got)));
            ::close(flood[i]);
        }
    }
};

QTEST_GUILESS_MAIN(TestDescriptors)
#include "tst_descriptors.moc"
