// The file server on its own thread, over real loopback TCP: exact bytes back
// for each kind of request, the trace lines, the slots, paced transfers and
// the ways a peer can end a connection.
#include "common/Settings.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/TcpClient.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>

#include <sys/stat.h>

using namespace vanterel;
using vanterel::http::Server;
using vanterel::testing::TcpClient;

namespace {
const QByteArray NotFound = "HTTP/1.1 404 Not Found\r\nServer: Vanterel Version 1.1.0\r\n\r\n";
const QByteArray NotImplemented = "HTTP/1.1 501 Not Implemented\r\nServer: Vanterel Version 1.1.0\r\n\r\n";

QByteArray header(const char *type, qint64 length)
{
    return "HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\nContent-Type: " + QByteArray(type)
        + "\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

QByteArray patterned(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7) ^ (i >> 11));
    return bytes;
}
} // namespace

class TestServer : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    Settings settings;
    testing::RecordingLog log;
    std::mutex commandsMutex;
    QStringList commands;
    std::unique_ptr<Server> server;

    QString root() const { return dir.filePath(QStringLiteral("htdocs")); }
    void writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile f(root() + u'/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(bytes), bytes.size());
    }
    QStringList pressed()
    {
        std::lock_guard lock(commandsMutex);
        return commands;
    }
    int finished() const { return int(log.messages().count(QStringLiteral("Finished Transfer."))); }
    QByteArray exchange(const QByteArray &request, bool halfClose = false)
    {
        return testing::exchange(settings.ServerPort, request, halfClose);
    }
    void startServer(std::chrono::milliseconds idle = Server::DefaultIdleTimeout)
    {
        server = std::make_unique<Server>(settings, log, [this](const QString &c) {
            std::lock_guard lock(commandsMutex);
            commands.append(c);
        });
        server->setIdleTimeout(idle);
        QVERIFY(server->StartListening());
        server->Start();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QDir(dir.path()).mkpath(QStringLiteral("htdocs/pictures"));
        QDir(dir.path()).mkpath(QStringLiteral("outside"));
        writeFile(QStringLiteral("index.htm"), "<p>panel</p>");
        writeFile(QStringLiteral("My Page.htm"), "blank");
        writeFile(QStringLiteral("empty.gif"), {});
        writeFile(QStringLiteral("big.zip"), patterned(2049));
        writeFile(QStringLiteral(".hidden.htm"), "no");
        QFile::link(root() + QStringLiteral("/index.htm"), root() + QStringLiteral("/inner-link.htm"));
        QFile::link(root() + QStringLiteral("/.hidden.htm"), root() + QStringLiteral("/to-hidden.htm"));
        QFile f(dir.filePath(QStringLiteral("outside/secret.htm")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("secret");
        f.close();
        QFile::link(f.fileName(), root() + QStringLiteral("/outer-link.htm"));
        QVERIFY(::mkfifo(QFile::encodeName(root() + QStringLiteral("/pipe.htm")).constData(), 0600) == 0);
    }

    void init()
    {
        settings = Settings{};
        settings.ServerPort = testing::freePort();
        settings.DocumentRoot = root();
        settings.ServerSignature = QStringLiteral("Vanterel Version 1.1.0");
        log.clear();
        commands.clear();
        startServer();
    }

    void cleanup() { server.reset(); }

    void responses_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QStringList>("pressed");
        const QStringList fire{QStringLiteral("FIRE")};
        QTest::addRow("a page with a command") << QByteArray("GET /index.htm?FIRE HTTP/1.1\r\n\r\n")
                                              << header("text/html", 12) + "<p>panel</p>" << fire;
        QTest::addRow("the root redirects, host and port kept")
            << QByteArray("GET /?FIRE HTTP/1.1\r\nHost: 10.0.0.5:8080\r\n\r\n")
            << QByteArray("HTTP/1.1 303 See Other\r\nLocation: http://10.0.0.5:8080/index.htm\r\n\r\n") << fire;
        QTest::addRow("any folder redirects to the root's page")
            << QByteArray("GET /pictures HTTP/1.1\r\n\r\n")
            << QByteArray("HTTP/1.1 303 See Other\r\nLocation: http:///index.htm\r\n\r\n") << QStringList();
        QTest::addRow("a missing file still runs its command")
            << QByteArray("GET /nothing.htm?FIRE HTTP/1.1\r\n\r\n") << NotFound << fire;
        QTest::addRow("a command from another site's page is refused, the page served")
            << QByteArray("GET /index.htm?FIRE HTTP/1.1\r\nHost: pc\r\nSec-Fetch-Site: cross-site\r\n\r\n")
            << header("text/html", 12) + "<p>panel</p>" << QStringList();
        QTest::addRow("a dot segment is refused before the command")
            << QByteArray("GET /a/../index.htm?FIRE HTTP/1.1\r\n\r\n") << NotFound << QStringList();
        QTest::addRow("POST") << QByteArray("POST / HTTP/1.1\r\n\r\n") << NotImplemented << QStringList();
        QTest::addRow("%%20 is a blank") << QByteArray("GET /My%20Page.htm HTTP/1.1\r\n\r\n")
                                        << header("text/html", 5) + "blank" << QStringList();
        QTest::addRow("an empty file is its header") << QByteArray("GET /empty.gif HTTP/1.1\r\n\r\n")
                                                     << QByteArray("HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\n"
                                                                   "Content-Type: image/gif\r\nContent-Length: 0\r\n"
                                                                   "Cache-Control: max-age=3600, public\r\n\r\n")
                                                     << QStringList();
        QTest::addRow("one byte over a piece") << QByteArray("GET /big.zip HTTP/1.1\r\n\r\n")
                                               << header("application/zip", 2049) + patterned(2049) << QStringList();
        QTest::addRow("a link inside the root is followed")
            << QByteArray("GET /inner-link.htm HTTP/1.1\r\n\r\n") << header("text/html", 12) + "<p>panel</p>"
            << QStringList();
        QTest::addRow("a link out of the root") << QByteArray("GET /outer-link.htm HTTP/1.1\r\n\r\n") << NotFound
                                                << QStringList();
        QTest::addRow("a link to a hidden file") << QByteArray("GET /to-hidden.htm HTTP/1.1\r\n\r\n") << NotFound
                                                 << QStringList();
        QTest::addRow("a hidden file") << QByteArray("GET /.hidden.htm HTTP/1.1\r\n\r\n") << NotFound << QStringList();
        QTest::addRow("a pipe") << QByteArray("GET /pipe.htm HTTP/1.1\r\n\r\n") << NotFound << QStringList();
        QTest::addRow("backslashes climbing out") << QByteArray("GET /..\\outside\\secret.htm HTTP/1.1\r\n\r\n")
                                                  << NotFound << QStringList();
        // Bytes, not characters, are counted: a short count would never
        // finish the response and leave the connection open.
        QTest::addRow("a Host of non-ASCII text")
            << QByteArray("GET / HTTP/1.1\r\nHost: \xc3\xa9t\xc3\xa9\r\n\r\n")
            << QByteArray("HTTP/1.1 303 See Other\r\nLocation: http://\xc3\xa9t\xc3\xa9/index.htm\r\n\r\n")
            << QStringList();
    }

    void responses()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, response);
        QFETCH(QStringList, pressed);
        QCOMPARE(exchange(request), response);
        QCOMPARE(this->pressed(), pressed);
        QTRY_COMPARE(finished(), 1);
    }

    void traceLines_followTheRequestInOrder()
    {
        QCOMPARE(exchange("GET /index.htm?FIRE HTTP/1.1\r\n\r\n"), header("text/html", 12) + "<p>panel</p>");
        QTRY_COMPARE(log.logLines().size(), 6);
        QCOMPARE(log.logLines(),
                 (QStringList{QStringLiteral("1 - Got Data: GET /index.htm?FIRE HTTP/1.1\r\n\r\n"),
                              QStringLiteral("1 - Requested File: /index.htm?FIRE"),
                              QStringLiteral("1 - Pressed keys for command FIRE"),
                              QStringLiteral("1 - Complete Path: ") + root() + QStringLiteral("/index.htm"),
                              QStringLiteral("1 - Sent Data: ") + QString::fromLatin1(header("text/html", 12)),
                              QStringLiteral("Finished Transfer 1")}));
        QCOMPARE(log.messages(), (QStringList{QStringLiteral("Recieved command FIRE"),
                                              QStringLiteral("Transfering: /index.htm"),
                                              QStringLiteral("Finished Transfer.")}));
    }

    // Found by a probe: the response was thrown away once the peer's end of
    // stream was read.
    void halfClosedPeer_stillGetsTheWholeResponse_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addRow("404") << QByteArray("GET /nothing HTTP/1.1\r\n\r\n") << NotFound;
        QTest::addRow("file of two pieces") << QByteArray("GET /big.zip HTTP/1.1\r\n\r\n")
                                            << header("application/zip", 2049) + patterned(2049);
    }
    void halfClosedPeer_stillGetsTheWholeResponse()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, response);
        QCOMPARE(exchange(request, true), response);
        QTRY_COMPARE(finished(), 1);
    }

    void peerClosingMidFile_closesTheFileAndFreesTheSlot()
    {
        writeFile(QStringLiteral("long.zip"), QByteArray(4 * 1024 * 1024, 'L'));
        {
            TcpClient client(settings.ServerPort);
            QVERIFY(client.send("GET /long.zip HTTP/1.1\r\n\r\n"));
            QVERIFY(!client.read(10000).endsWith("<timeout>"));
            client.reset();
        }
        QTRY_VERIFY(!server->Slots().at(1).hasFile);
        QTRY_COMPARE(server->Slots().at(1).state, 0);
        QCOMPARE(finished(), 0);
    }

    void slots_areMadeOnDemandAndTheLowestClosedIsReused()
    {
        TcpClient a(settings.ServerPort), b(settings.ServerPort), c(settings.ServerPort);
        QTRY_COMPARE(server->Slots().size(), std::size_t(4));
        b.close();
        QTRY_COMPARE(server->Slots().at(2).state, 0);
        // The next connection fills the gap; nothing new is made.
        QCOMPARE(exchange("GET /nothing HTTP/1.1\r\n\r\n"), NotFound);
        QTRY_COMPARE(log.messages(), QStringList{QStringLiteral("Finished Transfer.")});
        QCOMPARE(server->Slots().size(), std::size_t(4));
        QVERIFY(server->Slots().at(1).state == 7 && server->Slots().at(3).state == 7);
    }

    void aSilentConnection_isClosedAfterTheIdleTime()
    {
        server.reset();
        startServer(std::chrono::milliseconds(200));
        TcpClient silent(settings.ServerPort);
        QVERIFY(silent.connected());
        QVERIFY(!silent.read(-1, 10000).endsWith("<timeout>"));
        QVERIFY(silent.closedByPeer());
    }

    void twoDownloadsAtOnce_bothArriveWhole()
    {
        const QByteArray big = patterned(300 * 1024 + 7);
        writeFile(QStringLiteral("big.htm"), big);
        TcpClient a(settings.ServerPort), b(settings.ServerPort);
        QVERIFY(a.send("GET /big.htm HTTP/1.1\r\n\r\n") && b.send("GET /big.htm HTTP/1.1\r\n\r\n"));
        QCOMPARE(a.read(), header("text/html", big.size()) + big);
        QCOMPARE(b.read(), header("text/html", big.size()) + big);
        QTRY_COMPARE(finished(), 2);
    }

    void aFileThatShrinks_endsTheConnection()
    {
        writeFile(QStringLiteral("shrinking.htm"), QByteArray(200000, 's'));
        TcpClient client(settings.ServerPort);
        QVERIFY(client.send("GET /shrinking.htm HTTP/1.1\r\n\r\n"));
        QByteArray got = client.read(header("text/html", 200000).size() + 4096);
        QVERIFY(QFile::resize(root() + QStringLiteral("/shrinking.htm"), 3000));
        got += client.read();
        QVERIFY(got.startsWith(header("text/html", 200000)));
        QVERIFY2(got.size() < header("text/html", 200000).size() + 200000, got.right(20).constData());
        QTRY_COMPARE(server->Slots().at(1).state, 0);
        QCOMPARE(finished(), 0);
    }

    void aFileOfTwoGigabytesOrMore_getsItsFullLength()
    {
        const QString path = root() + QStringLiteral("/huge.zip");
        {
            QFile sparse(path);
            QVERIFY(sparse.open(QIODevice::WriteOnly));
            QVERIFY(sparse.resize(qint64(2) * 1024 * 1024 * 1024 + 1)); // no blocks written
        }
        TcpClient client(settings.ServerPort);
        QVERIFY(client.send("GET /huge.zip HTTP/1.1\r\n\r\n"));
        const QByteArray got = client.read(10000);
        QVERIFY2(got.contains("Content-Length: 2147483649\r\n"), got.left(200).constData());
        QCOMPARE(server->Slots().at(1).bytesToSend, qint64(2147483649) + got.indexOf("\r\n\r\n") + 4);
        client.reset();
        QTRY_VERIFY(!server->Slots().at(1).hasFile);
        QFile::remove(path);
    }

    void aSecondRequestOnABusyConnection_takesTheSlotOver()
    {
        writeFile(QStringLiteral("long.htm"), QByteArray(4 * 1024 * 1024, 'L'));
        TcpClient client(settings.ServerPort);
        QVERIFY(client.send("GET /long.htm HTTP/1.1\r\n\r\n"));
        QByteArray got = client.read(20000);
        QVERIFY(client.send("GET /nothing HTTP/1.1\r\n\r\n"));
        got += client.read();
        QVERIFY(got.startsWith(header("text/html", 4 * 1024 * 1024)));
        QVERIFY(got.endsWith(NotFound));
        QVERIFY(got.size() < 4 * 1024 * 1024);
        QTRY_COMPARE(finished(), 1);
    }

    void restartListening_logsInOrderAndLeavesConnectionsAlone()
    {
        TcpClient accepted(settings.ServerPort);
        QTRY_COMPARE(server->Slots().size(), std::size_t(2));
        const qint32 oldPort = settings.ServerPort;
        const qint32 newPort = testing::freePort();
        server->RestartListening(newPort);
        QTRY_COMPARE(log.messages().size(), 2);
        QCOMPARE(log.messages().at(0), QStringLiteral("Server closed."));
        QVERIFY(log.messages().at(1).endsWith(QLatin1Char(':') + QString::number(newPort)));
        QCOMPARE(testing::exchange(newPort, "GET /nothing HTTP/1.1\r\n\r\n"), NotFound);
        QVERIFY(!TcpClient(oldPort).connected());
        // The connection accepted before goes on: its request is answered now.
        QVERIFY(accepted.send("GET /nothing HTTP/1.1\r\n\r\n"));
        QCOMPARE(accepted.read(), NotFound);
    }

    void listen_failuresSayWhy_data()
    {
        QTest::addColumn<qint32>("port");
        QTest::addColumn<QString>("reason");
        QTest::addRow("taken") << qint32(-1) << QStringLiteral("the port is already in use by another program");
        QTest::addRow("zero") << qint32(0) << QStringLiteral("the port must be from 1 to 65535");
        QTest::addRow("above 65535") << qint32(65536) << QStringLiteral("the port must be from 1 to 65535");
    }
    void listen_failuresSayWhy()
    {
        QFETCH(qint32, port);
        QFETCH(QString, reason);
        Settings other = settings;
        other.ServerPort = port < 0 ? settings.ServerPort : port;
        Server second(other, log);
        QVERIFY(!second.StartListening());
        QCOMPARE(second.ListenFailureLine(),
                 QStringLiteral("Server could not listen on port %1: %2").arg(other.ServerPort).arg(reason));
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "test_server.moc"
