// A client that stops reading: the server must not pile the file up in memory
// while it waits, and must finish the transfer once the client reads again.
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

using namespace vanterel;
using namespace vanterel::robust;
using vanterel::http::Server;
using vanterel::http::SocketArray;

class TestSlowReader : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QByteArray content;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("htdocs")));
        // Far more than the system buffers between the two ends can hold
        // while the client reads nothing (both are kept small below).
        content.resize(512 * 1024 + 123);
        for (qsizetype i = 0; i < content.size(); ++i)
            content[i] = char((i * 131) >> 3);
        QFile file(dir.filePath(QStringLiteral("htdocs/movie.zip")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }

    void stalledReader_keepsAtMostAPieceQueued_andGetsEveryByteLater()
    {
        testing::ServedFolder served(dir.filePath(QStringLiteral("htdocs")));
        Settings &settings = served.settings;
        Server &server = served.server;
        QVERIFY(server.StartListening());

        // The most the program ever held for the slot, unsent, looked at after
        // every piece and every progress report.
        qint64 mostQueued = 0;
        int pieces = 0;
        auto look = [&](int index) {
            mostQueued = std::max(mostQueued, server.Sck().BytesQueued(index));
        };
        connect(&server, &Server::PieceSent, this, [&](int index, qint64) { ++pieces; look(index); });
        connect(&server.Sck(), &SocketArray::SendProgress, this, [&](int index, qint64, qint64) { look(index); });

        const int client = newSocket();
        QVERIFY(client >= 0);
        const int smallBuffer = 4096;
        QCOMPARE(::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer), 0);
        QVERIFY(connectTo(client, quint16(settings.ServerPort)));
        setNonBlocking(client);
        QTRY_COMPARE(server.Sck().State(1), int(SocketArray::StateConnected));
        // The system lets a loopback send buffer grow to megabytes; a small
        // fixed one on the server's end makes the stall come after a few
        // pieces instead of a few thousand. What the program holds is the
        // same either way.
        const int serverEnd = serverEndOf(client, quint16(settings.ServerPort));
        QVERIFY(serverEnd >= 0);
        const int smallSendBuffer = 16384;
        QCOMPARE(::setsockopt(serverEnd, SOL_SOCKET, SO_SNDBUF, &smallSendBuffer, sizeof smallSendBuffer), 0);
        QVERIFY(sendAll(client, "GET /movie.zip HTTP/1.1\r\nHost: t\r\n\r\n"));

        // The client reads nothing until the server can hand the system no
        // more: its end of the connection is no longer writable and the
        // slot holds bytes it could not pass on.
        QVERIFY(runUntil([&] { return !writable(serverEnd) && server.Sck().BytesQueued(1) > 0; }, 20000));
        const int piecesWhenStalled = pieces;
        QVERIFY2(pieces * Server::PieceSize < content.size(), "the whole file went out: nothing stalled");

        // Stalled: no timer armed, no further piece read, at most one piece
        // waiting in the program. Events keep running meanwhile.
        for (int round = 0; round < 50; ++round)
            QCoreApplication::processEvents();
        QVERIFY(!server.TimerArmed(1));
        QCOMPARE(pieces, piecesWhenStalled);
        QVERIFY2(server.Sck().BytesQueued(1) <= Server::PieceSize,
                 qPrintable(QString::number(server.Sck().BytesQueued(1))));
        QVERIFY2(mostQueued <= Server::PieceSize, qPrintable(QString::number(mostQueued)));

        // Reading again: the rest follows, byte for byte, and the slot is let go.
        QSignalSpy finished(&server, &Server::TransferFinished);
        bool ended = false;
        const QByteArray got = readUntilClosed(client, 30000, &ended);
        QVERIFY(ended);
        ::close(client);
        const QByteArray header =
            http::fileHeader(settings.ServerSignature, http::contentRuleFor(QStringLiteral("/movie.zip")),
                             content.size());
        QCOMPARE(got.size(), header.size() + content.size());
        QVERIFY(got == header + content);
        QCOMPARE(finished.size(), 1);
        QVERIFY(!server.Slot(1).File);
        QVERIFY2(mostQueued <= Server::PieceSize, qPrintable(QString::number(mostQueued)));
    }
};

QTEST_GUILESS_MAIN(TestSlowReader)
#include "tst_slowreader.moc"
