// The built program as a user runs it: in a folder of its own with keys.dat and
// htdocs, asked over TCP, pressing keys on a private X server where a real X
// client sees them, and ended by a signal after which keys.dat is read back.
#include "tests/support/FreePort.h"
#include "tests/support/PrivateXServer.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TestXClient.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;
using vanterel::inject::test::PrivateXServer;
using vanterel::inject::test::TestXClient;

class TestProgram : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void program_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addRow("SIGTERM") << int(SIGTERM);
        QTest::addRow("SIGINT") << int(SIGINT);
        QTest::addRow("SIGHUP") << int(SIGHUP);
    }

    void program()
    {
        QFETCH(int, signalNumber);
        if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty())
            QSKIP("Xvfb is not installed (Debian package xvfb): no X server to press keys on");
        PrivateXServer xserver;
        if (const QString failure = xserver.start(); !failure.isEmpty())
            QSKIP(qPrintable(failure));
        TestXClient client(xserver.display());
        QVERIFY(client.isOpen());
        client.focus(client.createWindow("Marlek ORS"));

        QTemporaryDir dir;
        const QByteArray port = QByteArray::number(vanterel::testing::freePort());
        const QString exe = dir.filePath(u"vanterel"_s);
        QFile page(dir.filePath(u"htdocs/index.htm"_s)), keys(dir.filePath(u"keys.dat"_s));
        QVERIFY(QFile::copy(QStringLiteral(VANTEREL_EXECUTABLE), exe) && QDir(dir.path()).mkdir(u"htdocs"_s));
        QVERIFY(page.open(QIODevice::WriteOnly) && page.write("<a href=\"?FIRE\">Fire</a>") == 24);
        QVERIFY(keys.open(QIODevice::WriteOnly) && keys.write("# sample\r\nPORT\x1e" + port + "\r\nkey\x1e" "FIRE\x1e"
                                                               "30\x1e" "2\x1e" "0\x1e" "0\r\n") > 0);
        page.close();
        keys.close();

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.insert(u"DISPLAY"_s, QString::fromLatin1(xserver.display()));
        env.remove(u"WAYLAND_DISPLAY"_s);
        env.remove(u"QT_LOGGING_RULES"_s); // the test runner quietens the event log's copy on standard error
        program.setProcessEnvironment(env);
        program.start(exe, {});
        QByteArray said; // the event log, as the program copies it to standard error
        const auto saidSoFar = [&] { return said += program.readAllStandardError(); };
        QVERIFY(QTest::qWaitFor([&] { return saidSoFar().contains("Key presses through") || !program.processId(); },
                                20000));
        QVERIFY2(said.contains("Server listening on address ") && said.contains(':' + port + '\n')
                     && said.contains("Key presses through XTest"),
                 said.constData());

        using vanterel::testing::exchange;
        QCOMPARE(exchange(port.toInt(), "GET /index.htm HTTP/1.1\r\n\r\n"),
                 QByteArray("HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\nContent-Type: text/html\r\n"
                            "Content-Length: 24\r\n\r\n<a href=\"?FIRE\">Fire</a>"));
        QCOMPARE(exchange(port.toInt(), "GET /?fire HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n"),
                 "HTTP/1.1 303 See Other\r\nLocation: http://127.0.0.1:" + port + "/index.htm\r\n\r\n");
        QStringList seen;
        for (const TestXClient::KeyEvent &event : client.keyEvents(4))
            seen << event.text;
        QCOMPARE(seen, (QStringList{u"down 37"_s, u"down 38 Ctrl"_s, u"up 38 Ctrl"_s, u"up 37 Ctrl"_s}));

        ::kill(pid_t(program.processId()), signalNumber);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(saidSoFar().contains("Recieved command fire\n"));
        QVERIFY(keys.open(QIODevice::ReadOnly));
        QCOMPARE(keys.readAll(), "PORT\x1e" + port + "\r\nFOLDER\x1e" + dir.filePath(u"htdocs"_s).toLocal8Bit()
                     + "\r\nkey\x1e" "FIRE\x1e" "30\x1e" "2\x1e" "0\x1e" "0\r\n");
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
