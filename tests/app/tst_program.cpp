// The built program as a user runs it: in a folder of its own, asked over TCP, pressing keys on a private
// X server where a real X client sees them, and ended by SIGTERM, after which keys.dat is read back.
#include "tests/support/FreePort.h"
#include "tests/support/PrivateXServer.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TestXClient.h"

#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;
using vanterel::testing::exchange;

class TestProgram : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void program()
    {
        if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty())
            QSKIP("Xvfb is not installed (Debian package xvfb): no X server to press keys on");
        vanterel::inject::test::PrivateXServer xserver;
        if (const QString failure = xserver.start(); !failure.isEmpty())
            QSKIP(qPrintable(failure));
        vanterel::inject::test::TestXClient client(xserver.display());
        QVERIFY(client.isOpen());
        client.focus(client.createWindow("Marlek ORS"));

        QTemporaryDir dir;
        const int port = vanterel::testing::freePort();
        const QByteArray portLine = "PORT\x1e" + QByteArray::number(port) + "\r\n",
                         fire = QByteArray("key|FIRE|30|2|0|0\r\n").replace('|', '\x1e');
        QFile page(dir.filePath(u"htdocs/index.htm"_s)), keys(dir.filePath(u"keys.dat"_s));
        QVERIFY(QFile::copy(QStringLiteral(VANTEREL_EXECUTABLE), dir.filePath(u"vanterel"_s))
                && QDir(dir.path()).mkdir(u"htdocs"_s));
        QVERIFY(page.open(QIODevice::WriteOnly) && page.write("<a href=\"?FIRE\">Fire</a>") == 24);
        QVERIFY(keys.open(QIODevice::WriteOnly) && keys.write("# a comment\r\n" + portLine + fire) > 0);
        page.close();
        keys.close();

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.insert(u"DISPLAY"_s, QString::fromLatin1(xserver.display()));
        env.remove(u"QT_LOGGING_RULES"_s); // the test runner quietens the event log's copy on standard error
        program.setProcessEnvironment(env);
        program.start(dir.filePath(u"vanterel"_s), {});
        QByteArray said; // the event log, as the program copies it to standard error
        QVERIFY(QTest::qWaitFor(
            [&] { return (said += program.readAllStandardError()).contains("Key presses through"); }, 20000));
        QVERIFY2(said.contains("Key presses through XTest")
                     && said.contains(':' + QByteArray::number(port) + '\n'),
                 said.constData()); // ":port" ends the listening line

        QVERIFY(exchange(port, "GET /index.htm?fire HTTP/1.1\r\n\r\n")
                    .endsWith("\r\n\r\n<a href=\"?FIRE\">Fire</a>"));
        QStringList seen;
        for (const auto &event : client.keyEvents(4))
            seen << event.text;
        QCOMPARE(seen, (QStringList{u"down 37"_s, u"down 38 Ctrl"_s, u"up 38 Ctrl"_s, u"up 37 Ctrl"_s}));

        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(20000));
        QVERIFY(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0);
        QVERIFY(keys.open(QIODevice::ReadOnly));
        QCOMPARE(keys.readAll(),
                 portLine + "FOLDER\x1e" + dir.filePath(u"htdocs"_s).toLocal8Bit() + "\r\n" + fire);
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
