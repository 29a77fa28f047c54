// Connection slots over real loopback TCP: creation and reuse order, responses
// that finish themselves, paced pieces, and peers that leave early.
#include "common/Settings.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/RecordingLog.h"
#include "tests/robust/RobustSupport.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace vanterel;
using vanterel::http::Server;
using vanterel::http::SocketArray;

class TestServer : public QObject {
    Q_OBJECT

private:
    Settings settings;
    testing::RecordingLog log;
    std::unique_ptr<Server> server;
    QTemporaryDir dir;

    // Answers "FILE <n>" with a header and a file of n bytes, anything else
    // with a short text; "HOLD" is read and left unanswered.
    void installHandler()
    {
        server->setRequestHandler([this](int index) {
            const QByteArray request = server->Sck().GetData(index);
            if (request.startsWith("HOLD"))
                return;
            if (request.startsWith("FILE ")) {
                const qint64 size = request.mid(5).trimmed().toLongLong();
                auto file = std::make_unique<QFile>(makeFile(size));
                QVERIFY(file->open(QIODevice::ReadOnly));
                const QByteArray header(150, 'H');
                server->StartResponse(index, header, std::move(file), header.size() + size,
                                      QStringLiteral("/f"));
                return;
            }
            const QByteArray text = "HTTP/1.1 404 Not Found\r\n\r\n";
            server->StartResponse(index, text, nullptr, text.size());
        });
    }

    QString makeFile(qint64 size)
    {
        const QString path = dir.filePath(QStringLiteral("f%1").arg(size));
        QFile f(path);
        if (!f.exists() && f.open(QIODevice::WriteOnly)) {
            QByteArray bytes(size, Qt::Uninitialized);
            for (qint64 i = 0; i < size; ++i)
                bytes[i] = char('a' + i % 26);
            f.write(bytes);
        }
        return path;
    }

    std::unique_ptr<QTcpSocket> connectClient()
    {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, quint16(settings.ServerPort));
        if (!client->waitForConnected(5000))
            return nullptr;
        return client;
    }

    // Waits until the server has accepted n connections into slots.
    bool waitConnected(int index)
    {
        return QTest::qWaitFor(
            [&] { return server->Sck().State(index) == SocketArray::StateConnected; }, 5000);
    }

    // Everything the server sends until it closes the connection. The server
    // runs in this thread, so the wait must keep the event loop turning.
    static QByteArray readToEnd(QTcpSocket &client)
    {
        QByteArray all;
        const bool closed = QTest::qWaitFor([&] {
            all += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        }, 10000);
        if (!closed)
            qWarning("the server did not close the connection");
        return all + client.readAll();
    }

private Q_SLOTS:
    void init()
    {
        settings = Settings{};
        settings.ServerPort = testing::freePort();
        log = testing::RecordingLog{};
        server = std::make_unique<Server>(settings, log);
        installHandler();
        QVERIFY(server->StartListening());
    }

    void cleanup() { server.reset(); }

    void slots_areMadeOnDemandAndTheLowestClosedIsReused()
    {
        auto a = connectClient();
        QVERIFY(a && waitConnected(1));
        auto b = connectClient();
        QVERIFY(b && waitConnected(2));
        QCOMPARE(server->Sck().UBound(), 2);

        server->CloseConnection(1);
        server->CloseConnection(2);
        auto c = connectClient();
        QVERIFY(c && waitConnected(1));
        QCOMPARE(server->Sck().UBound(), 2);
        QCOMPARE(server->SlotCount(), 3);
    }

    void slots_aGapInTheMiddleIsFilledFirst()
    {
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 1; i <= 3; ++i) {
            clients.push_back(connectClient());
            QVERIFY(clients.back() && waitConnected(i));
        }
        server->CloseConnection(2);
        auto d = connectClient();
        QVERIFY(d && waitConnected(2));
        QCOMPARE(server->Sck().UBound(), 3);
    }

    void slots_aSlotStillClosingIsNotTaken()
    {
        auto a = connectClient();
        QVERIFY(a && waitConnected(1));
        // This connection is complete in the kernel but the server only hears
        // of it while CloseConnection(1) lets events run.
        const int raw = robust::connectNew(quint16(settings.ServerPort));
        QVERIFY(raw >= 0);
        server->CloseConnection(1);
        QTRY_COMPARE(server->Sck().UBound(), 2);
        QTRY_COMPARE(server->Sck().State(2), int(SocketArray::StateConnected));
        QCOMPARE(server->Sck().State(1), int(SocketArray::StateClosed));
        ::close(raw);
    }

    void textResponse_finishesAtSendCompleteAndLogsItsSlot()
    {
        auto a = connectClient();
        QVERIFY(a && waitConnected(1));
        a->write("HOLD");
        auto b = connectClient();
        QVERIFY(b && waitConnected(2));
        QSignalSpy finished(server.get(), &Server::TransferFinished);
        b->write("GET / HTTP/1.1\r\n\r\n");
        QCOMPARE(readToEnd(*b), QByteArray("HTTP/1.1 404 Not Found\r\n\r\n"));
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 2);
        QCOMPARE(log.messages, QStringList{QStringLiteral("Finished Transfer.")});
        QCOMPARE(log.logLines, QStringList{QStringLiteral("Finished Transfer 2")});
        QCOMPARE(server->Sck().State(2), int(SocketArray::StateClosed));
        QCOMPARE(server->Slot(2).BytesToSend, 0);
    }

    void fileResponse_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<qint64>>("pieces");
        QTest::addRow("empty file: header only") << qint64(0) << QList<qint64>{};
        QTest::addRow("exactly one piece") << qint64(2048) << QList<qint64>{2048};
        QTest::addRow("one byte over a piece") << qint64(2049) << QList<qint64>{2048, 1};
        QTest::addRow("5000 bytes") << qint64(5000) << QList<qint64>{2048, 2048, 904};
    }

    void fileResponse()
    {
        QFETCH(qint64, size);
        QFETCH(QList<qint64>, pieces);
        QList<qint64> sent;
        connect(server.get(), &Server::PieceSent, this, [&](int, qint64 n) {
            sent.append(n);
            // Only one piece is ever in flight: the next waits for this one.
            QVERIFY(!server->TimerArmed(1));
        });
        auto a = connectClient();
        QVERIFY(a && waitConnected(1));
        a->write("FILE " + QByteArray::number(size));
        const QByteArray body = readToEnd(*a);
        QFile expected(makeFile(size));
        QVERIFY(expected.open(QIODevice::ReadOnly));
        QCOMPARE(body, QByteArray(150, 'H') + expected.readAll());
        QTRY_COMPARE(log.messages.count(QStringLiteral("Finished Transfer.")), 1);
        QCOMPARE(sent, pieces);
        QVERIFY(!server->Slot(1).File);
        QCOMPARE(server->Sck().State(1), int(SocketArray::StateClosed));
    }

    void peerClosingMidFile_closesTheFileAndFreesTheSlot()
    {
        auto a = connectClient();
        QVERIFY(a && waitConnected(1));
        a->write("FILE 4000000");
        QVERIFY(QTest::qWaitFor([&] { return a->bytesAvailable() > 0; }, 5000));
        QTRY_VERIFY(server->Slot(1).File);
        a->abort();
        QTRY_VERIFY(!server->Slot(1).File);
        QTRY_COMPARE(server->Sck().State(1), int(SocketArray::StateClosed));
        QVERIFY(!server->TimerArmed(1));
        QVERIFY(!log.messages.contains(QStringLiteral("Finished Transfer.")));

        auto b = connectClient();
        QVERIFY(b && waitConnected(1));
        b->write("GET");
        QCOMPARE(readToEnd(*b), QByteArray("HTTP/1.1 404 Not Found\r\n\r\n"));
    }

    void listen_onATakenPortFailsWithTheReason()
    {
        Settings other = settings;
        testing::RecordingLog otherLog;
        Server second(other, otherLog);
        QVERIFY(!second.StartListening());
        QVERIFY2(second.ListenFailureLine().contains(QStringLiteral("already in use")),
                 qPrintable(second.ListenFailureLine()));
        QCOMPARE(second.Sck().State(0), int(SocketArray::StateClosed));
    }

    void listen_portsOutsideTheRangeAreRefused_data()
    {
        QTest::addColumn<qint32>("port");
        QTest::addRow("zero") << 0;
        QTest::addRow("above 65535") << 65536;
    }

    void listen_portsOutsideTheRangeAreRefused()
    {
        QFETCH(qint32, port);
        Settings other;
        other.ServerPort = port;
        testing::RecordingLog otherLog;
        Server second(other, otherLog);
        QVERIFY(!second.StartListening());
        QVERIFY(second.ListenFailureLine().contains(QStringLiteral("from 1 to 65535")));
    }

    void stopListening_leavesAcceptedConnectionsAlone()
    {
        auto a = connectClient();
        QVERIFY(a && waitConnected(1));
        server->StopListening();
        QCOMPARE(server->Sck().State(0), int(SocketArray::StateClosed));
        a->write("FILE 5000");
        QCOMPARE(readToEnd(*a).size(), 5150);
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "test_server.moc"
