// The built program as a user runs it: its own folder with keys.dat and
// htdocs, a real HTTP client (curl), a private X server with a window that
// receives the keys, and signals that end it.
#include "tests/support/FreePort.h"
#include "tests/support/PrivateXServer.h"
#include "tests/support/TestXClient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using vanterel::inject::test::PrivateXServer;
using vanterel::inject::test::TestXClient;

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestProgram : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    qint32 port = 0;
    QProcess program;
    QByteArray programErrors; // what the program wrote to standard error

    QString exe() const { return dir.filePath(QStringLiteral("vanterel")); }

    // Starts the program in the test folder; returns once it listens.
    void start(const QByteArray &display = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        // The test runner quietens our logging; the program must speak here.
        env.remove(QStringLiteral("QT_LOGGING_RULES"));
        if (display.isEmpty())
            env.remove(QStringLiteral("DISPLAY"));
        else
            env.insert(QStringLiteral("DISPLAY"), QString::fromLocal8Bit(display));
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::SeparateChannels);
        program.start(exe(), {});
        QVERIFY(program.waitForStarted(10000));
        programErrors.clear();
        QVERIFY(QTest::qWaitFor([&] {
            programErrors += program.readAllStandardError();
            return programErrors.contains("Server listening on address ")
                || program.state() == QProcess::NotRunning;
        }, 20000));
        QVERIFY2(programErrors.contains(":" + QByteArray::number(port)), programErrors.constData());
    }

    // Ends the program with the signal; it must shut down cleanly.
    void stop(int signalNumber)
    {
        ::kill(pid_t(program.processId()), signalNumber);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        programErrors += program.readAllStandardError();
    }

    QByteArray curl(const QStringList &args)
    {
        QProcess c;
        c.start(QStringLiteral("curl"), QStringList{QStringLiteral("-s"), QStringLiteral("--max-time"),
                                                    QStringLiteral("30")} + args);
        if (!c.waitForFinished(40000))
            return "<curl hung>";
        return c.readAllStandardOutput();
    }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(dir.isValid());
        QFile::remove(exe());
        QVERIFY(QFile::copy(QStringLiteral(VANTEREL_EXECUTABLE), exe()));
        port = vanterel::testing::freePort();
        QDir(dir.path()).mkpath(QStringLiteral("htdocs/img"));
        writeFile(dir.filePath(QStringLiteral("htdocs/index.htm")), "<a href=\"index.htm?FIRE\">Fire</a>");
        writeFile(dir.filePath(QStringLiteral("keys.dat")),
                  "# sample\r\nPORT\x1e" + QByteArray::number(port)
                      + "\r\nkey\x1e" "FIRE\x1e" "30\x1e" "2\x1e" "0\x1e" "0\r\n");
    }

    void cleanup()
    {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(5000);
        }
    }

    void pagesPicturesAndCommands_throughARealClient()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
            QSKIP("curl is not installed (Debian package curl)");
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            QSKIP("Xvfb is not installed (Debian package xvfb): no X server to press keys on");
        PrivateXServer xserver;
        const QString failure = xserver.start();
        if (!failure.isEmpty())
            QSKIP(qPrintable(failure));
        TestXClient client(xserver.display());
        QVERIFY(client.isOpen());
        const quint64 window = client.createWindow("Marlek ORS");
        client.focus(window);

        QByteArray picture(5 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator rng(42);
        rng.fillRange(reinterpret_cast<quint32 *>(picture.data()), picture.size() / 4);
        writeFile(dir.filePath(QStringLiteral("htdocs/img/big.jpg")), picture);

        start(xserver.display());

        QCOMPARE(curl({QStringLiteral("-i"), url(QStringLiteral("/index.htm"))}),
                 QByteArray("HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\nContent-Type: text/html\r\n"
                            "Content-Length: 33\r\n\r\n<a href=\"index.htm?FIRE\">Fire</a>"));

        const QString saved = dir.filePath(QStringLiteral("downloaded.jpg"));
        const QByteArray headers = curl({QStringLiteral("-D"), QStringLiteral("-"), QStringLiteral("-o"), saved,
                                         url(QStringLiteral("/img/big.jpg"))});
        QVERIFY2(headers.contains("Content-Type: image/jpeg\r\n"), headers.constData());
        QVERIFY(headers.endsWith("Cache-Control: max-age=3600, public\r\n\r\n"));
        QCOMPARE(QCryptographicHash::hash(readFile(saved), QCryptographicHash::Sha256),
                 QCryptographicHash::hash(picture, QCryptographicHash::Sha256));

        QCOMPARE(curl({QStringLiteral("-i"), url(QStringLiteral("/?FIRE"))}),
                 "HTTP/1.1 303 See Other\r\nLocation: http://127.0.0.1:" + QByteArray::number(port)
                     + "/index.htm\r\n\r\n");
        QStringList keys;
        for (const TestXClient::KeyEvent &event : client.keyEvents(4))
            keys.append(event.text);
        QCOMPARE(keys, (QStringList{QStringLiteral("down 37"), QStringLiteral("down 38 Ctrl"),
                                    QStringLiteral("up 38 Ctrl"), QStringLiteral("up 37 Ctrl")}));

        stop(SIGTERM);
        QVERIFY2(programErrors.contains("Key presses through XTest"), programErrors.constData());
        QVERIFY(programErrors.contains("Recieved command FIRE"));
    }

    void signals_runTheShutDownAndExitWithZero_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addRow("SIGTERM") << int(SIGTERM);
        QTest::addRow("SIGINT") << int(SIGINT);
        QTest::addRow("SIGHUP") << int(SIGHUP);
    }

    void signals_runTheShutDownAndExitWithZero()
    {
        QFETCH(int, signalNumber);
        start();
        stop(signalNumber);
        // keys.dat was written anew (the comment is gone, the folder is there).
        const QByteArray keys = readFile(dir.filePath(QStringLiteral("keys.dat")));
        QVERIFY2(keys.startsWith("PORT\x1e" + QByteArray::number(port) + "\r\nFOLDER\x1e"), keys.constData());
        QVERIFY(keys.endsWith("key\x1e" "FIRE\x1e" "30\x1e" "2\x1e" "0\x1e" "0\r\n"));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("Log.txt"))));
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "test_program.moc"
