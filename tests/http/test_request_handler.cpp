// Requests over real loopback TCP, through the connection code: exact bytes
// back, the trace lines, the command run, and the cases where a transfer
// cannot go as planned.
#include "common/Settings.h"
#include "http/RequestHandler.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/RecordingLog.h"

#include <QDir>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace vanterel;
using vanterel::http::RequestHandler;
using vanterel::http::Server;

namespace {
const QByteArray NotFound = "HTTP/1.1 404 Not Found\r\nServer: Vanterel Version 1.1.0\r\n\r\n";
const QByteArray NotImplemented = "HTTP/1.1 501 Not Implemented\r\nServer: Vanterel Version 1.1.0\r\n\r\n";

QByteArray pageHeader(qint64 length)
{
    return "HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\nContent-Type: text/html\r\nContent-Length: "
        + QByteArray::number(length) + "\r\n\r\n";
}
} // namespace

class TestRequestHandler : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    Settings settings;
    testing::RecordingLog log;
    QStringList commands;
    std::unique_ptr<Server> server;
    std::unique_ptr<RequestHandler> handler;

    void writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile f(dir.filePath(QStringLiteral("htdocs/") + name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    std::unique_ptr<QTcpSocket> open()
    {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, quint16(settings.ServerPort));
        return client->waitForConnected(5000) ? std::move(client) : nullptr;
    }

    static QByteArray readToEnd(QTcpSocket &client)
    {
        QByteArray all;
        const bool closed = QTest::qWaitFor([&] {
            all += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        }, 20000);
        return closed ? all + client.readAll() : all + "<still open>";
    }

    QByteArray exchange(const QByteArray &request)
    {
        auto client = open();
        if (!client)
            return "<no connection>";
        client->write(request);
        return readToEnd(*client);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QDir(dir.path()).mkpath(QStringLiteral("htdocs/pictures"));
        writeFile(QStringLiteral("index.htm"), "<p>panel</p>");
    }

    void init()
    {
        settings = Settings{};
        settings.ServerPort = testing::freePort();
        settings.DocumentRoot = dir.filePath(QStringLiteral("htdocs"));
        settings.ServerSignature = QStringLiteral("Vanterel Version 1.1.0");
        log = testing::RecordingLog{};
        commands.clear();
        server = std::make_unique<Server>(settings, log);
        handler = std::make_unique<RequestHandler>(*server, settings, log,
                                                   [this](const QString &c) { commands.append(c); });
        handler->install();
        QVERIFY(server->StartListening());
    }

    void cleanup()
    {
        handler.reset();
        server.reset();
    }

    void responses_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QStringList>("pressed");
        const QByteArray page = pageHeader(12) + "<p>panel</p>";
        QTest::addRow("a page with a command") << QByteArray("GET /index.htm?FIRE HTTP/1.1\r\n\r\n") << page
                                              << QStringList{QStringLiteral("FIRE")};
        QTest::addRow("the root redirects, host and port kept")
            << QByteArray("GET /?FIRE HTTP/1.1\r\nHost: 10.0.0.5:8080\r\n\r\n")
            << QByteArray("HTTP/1.1 303 See Other\r\nLocation: http://10.0.0.5:8080/index.htm\r\n\r\n")
            << QStringList{QStringLiteral("FIRE")};
        QTest::addRow("a missing file still runs its command")
            << QByteArray("GET /nothing.htm?FIRE HTTP/1.1\r\n\r\n") << NotFound << QStringList{QStringLiteral("FIRE")};
        QTest::addRow("a dot segment is refused before the command")
            << QByteArray("GET /a/../index.htm?FIRE HTTP/1.1\r\n\r\n") << NotFound << QStringList();
        QTest::addRow("POST") << QByteArray("POST / HTTP/1.1\r\n\r\n") << NotImplemented << QStringList();
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
        QCOMPARE(commands, pressed);
        QTRY_COMPARE(log.messages.count(QStringLiteral("Finished Transfer.")), 1);
    }

    void traceLines_followTheRequestInOrder()
    {
        QCOMPARE(exchange("GET /index.htm?FIRE HTTP/1.1\r\n\r\n"), pageHeader(12) + "<p>panel</p>");
        QTRY_COMPARE(log.logLines.size(), 6);
        const QString local = dir.filePath(QStringLiteral("htdocs/index.htm"));
        QCOMPARE(log.logLines,
                 (QStringList{QStringLiteral("1 - Got Data: GET /index.htm?FIRE HTTP/1.1\r\n\r\n"),
                              QStringLiteral("1 - Requested File: /index.htm?FIRE"),
                              QStringLiteral("1 - Pressed keys for command FIRE"),
                              QStringLiteral("1 - Complete Path: ") + local,
                              QStringLiteral("1 - Sent Data: ") + QString::fromLatin1(pageHeader(12)),
                              QStringLiteral("Finished Transfer 1")}));
        QCOMPARE(log.messages, (QStringList{QStringLiteral("Recieved command FIRE"),
                                            QStringLiteral("Transfering: /index.htm"),
                                            QStringLiteral("Finished Transfer.")}));
    }

    void twoDownloadsAtOnce_eachEndsWithItsOwnLastPiece()
    {
        QByteArray big(300 * 1024 + 7, 'x');
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char(i * 7);
        writeFile(QStringLiteral("big.htm"), big);
        QList<int> order;
        connect(server.get(), &Server::PieceSent, this, [&](int index, qint64) { order.append(index); });
        auto a = open();
        auto b = open();
        QVERIFY(a && b);
        a->write("GET /big.htm HTTP/1.1\r\n\r\n");
        b->write("GET /big.htm HTTP/1.1\r\n\r\n");
        QByteArray gotA, gotB;
        QVERIFY(QTest::qWaitFor([&] {
            gotA += a->readAll();
            gotB += b->readAll();
            return a->state() == QAbstractSocket::UnconnectedState && b->state() == QAbstractSocket::UnconnectedState;
        }, 30000));
        QCOMPARE(gotA + a->readAll(), pageHeader(big.size()) + big);
        QCOMPARE(gotB + b->readAll(), pageHeader(big.size()) + big);
        // The pieces of the two transfers took turns rather than one after the other.
        const qsizetype firstOfTwo = order.indexOf(2);
        QVERIFY(firstOfTwo >= 0 && firstOfTwo < order.lastIndexOf(1));
        QCOMPARE(log.messages.count(QStringLiteral("Finished Transfer.")), 2);
    }

    void aFileThatShrinks_endsTheConnectionAndClosesTheFile()
    {
        writeFile(QStringLiteral("shrinking.htm"), QByteArray(200000, 's'));
        bool truncated = false;
        connect(server.get(), &Server::PieceSent, this, [&](int, qint64) {
            if (!truncated)
                truncated = QFile::resize(dir.filePath(QStringLiteral("htdocs/shrinking.htm")), 3000);
        });
        const QByteArray got = exchange("GET /shrinking.htm HTTP/1.1\r\n\r\n");
        QVERIFY(truncated);
        QVERIFY(got.startsWith(pageHeader(200000)));
        QVERIFY(got.size() < pageHeader(200000).size() + 200000);
        QTRY_VERIFY(!server->Slot(1).File);
        QVERIFY(!log.messages.contains(QStringLiteral("Finished Transfer.")));
    }

    void aFileOfTwoGigabytesOrMore_getsItsFullLength()
    {
        const QString path = dir.filePath(QStringLiteral("htdocs/huge.zip"));
        {
            QFile sparse(path);
            QVERIFY(sparse.open(QIODevice::WriteOnly));
            QVERIFY(sparse.resize(qint64(2) * 1024 * 1024 * 1024 + 1)); // no blocks written
        }
        auto client = open();
        QVERIFY(client);
        client->write("GET /huge.zip HTTP/1.1\r\n\r\n");
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&] { got += client->readAll(); return got.size() > 10000; }, 10000));
        QVERIFY2(got.contains("Content-Length: 2147483649\r\n"), got.left(200).constData());
        QCOMPARE(server->Slot(1).BytesToSend, qint64(2147483649) + got.indexOf("\r\n\r\n") + 4);
        client->abort();
        QTRY_VERIFY(!server->Slot(1).File);
        QFile::remove(path);
    }

    void aSecondRequestOnABusyConnection_takesTheSlotOver()
    {
        writeFile(QStringLiteral("long.htm"), QByteArray(4 * 1024 * 1024, 'L'));
        auto client = open();
        QVERIFY(client);
        client->write("GET /long.htm HTTP/1.1\r\n\r\n");
        QTRY_VERIFY(server->SlotCount() > 1 && server->Slot(1).File);
        client->write("GET /nothing HTTP/1.1\r\n\r\n");
        // The slot now answers the second request; the file of the first is let go.
        QTRY_VERIFY(!server->Slot(1).File);
        const QByteArray got = readToEnd(*client);
        QVERIFY(got.startsWith(pageHeader(4 * 1024 * 1024)));
        QVERIFY(got.endsWith(NotFound));
        QTRY_COMPARE(log.messages.count(QStringLiteral("Finished Transfer.")), 1);
    }

    void aFileThatCannotBeOpened_isAnsweredAndClosed()
    {
        if (::geteuid() == 0)
            QSKIP("running as root: file permissions are not enforced, so no file is unreadable");
        writeFile(QStringLiteral("secret.htm"), "x");
        QFile::setPermissions(dir.filePath(QStringLiteral("htdocs/secret.htm")), QFile::WriteOwner);
        QCOMPARE(exchange("GET /secret.htm HTTP/1.1\r\n\r\n"), NotFound);
    }
};

QTEST_GUILESS_MAIN(TestRequestHandler)
#include "test_request_handler.moc"
