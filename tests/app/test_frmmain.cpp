// Start-up and shut-down of the main window against a real folder: the first
// log lines, Log.txt, keys.dat, and a port that cannot be had.
#include "app/FrmMain.h"
#include "inject/RecordingInjector.h"
#include "tests/support/FreePort.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TcpClient.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using vanterel::app::FrmMain;
using vanterel::inject::InjectorChoice;
using vanterel::inject::RecordingInjector;

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList messages(FrmMain &window)
{
    QStringList lines;
    for (int row = 0; row < window.logModel().rowCount(); ++row)
        lines.append(window.logModel().text(row));
    return lines;
}

QByteArray fetch(qint32 port, const QByteArray &request)
{
    return vanterel::testing::exchange(port, request);
}

} // namespace

class TestFrmMain : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    qint32 port = 0;

    vanterel::testing::ScriptedPrompts prompts;

    // A window over the test folder whose key presses are recorded and whose
    // dialogs are answered by the test.
    FrmMain::Options options(RecordingInjector **recorder = nullptr)
    {
        return {dir.path(),
                [recorder] {
                    auto injector = std::make_unique<RecordingInjector>();
                    if (recorder)
                        *recorder = injector.get();
                    return InjectorChoice{std::move(injector), "Key presses recorded"};
                },
                &prompts};
    }

    void writeKeysDat(const QByteArray &extra = {})
    {
        writeFile(dir.filePath(QStringLiteral("keys.dat")),
                  "PORT\x1e" + QByteArray::number(port) + "\r\n" + extra);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(dir.isValid());
        port = vanterel::testing::freePort();
        QDir(dir.path()).mkpath(QStringLiteral("htdocs"));
        writeFile(dir.filePath(QStringLiteral("htdocs/index.htm")), "<p>hi</p>");
        writeKeysDat();
    }

    void cleanup()
    {
        for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot))
            QFileInfo(dir.filePath(name)).isDir() ? void(QDir(dir.filePath(name)).removeRecursively())
                                                  : void(QFile::remove(dir.filePath(name)));
    }

    void startUp_logsCaptionConfigurationAndListeningInOrder()
    {
        FrmMain window(options());
        window.Load();
        const QStringList lines = messages(window);
        QVERIFY(lines.size() >= 3);
        QCOMPARE(lines.at(0), QStringLiteral("Vanterel v1.1.0"));
        QCOMPARE(lines.at(1), QStringLiteral("Loaded Configuration"));
        QVERIFY2(lines.at(2).startsWith(QStringLiteral("Server listening on address ")), qPrintable(lines.at(2)));
        QCOMPARE(lines.at(3), QStringLiteral("Files (keys.dat, Log.txt, htdocs) are in %1, beside the program")
                                  .arg(dir.path()));
        QCOMPARE(lines.at(4), QStringLiteral("Key presses recorded"));
        QVERIFY(lines.at(2).endsWith(QLatin1Char(':') + QString::number(port)));
        QCOMPARE(window.windowTitle(), QStringLiteral("Vanterel v1.1.0"));
        QCOMPARE(window.ServerSignature(), QStringLiteral("Vanterel Version 1.1.0"));
        QVERIFY(window.AppFolder().endsWith(QLatin1Char('/')));
        QVERIFY(!window.AppFolder().endsWith(QStringLiteral("//")));
        QCOMPARE(window.settings().DocumentRoot, window.AppFolder() + QStringLiteral("htdocs"));
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.windowIcon().availableSizes().size(), 5);

        // The connect window shows the address of the listening line.
        window.findChild<QPushButton *>(QStringLiteral("cmdConnect"))->click();
        const auto *url = window.findChild<QLabel *>(QStringLiteral("lblUrl"));
        QVERIFY(url && url->isVisible());
        QCOMPARE(url->text(), QString(lines.at(2)).replace(QStringLiteral("Server listening on address "),
                                                           QStringLiteral("http://")) + QLatin1Char('/'));
    }

    void controls_haveTheirNamesCaptionsAndPlaces_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("geometry");
        QTest::addRow("check box") << QStringLiteral("chkEnabeLog") << QStringLiteral("Enabe Log") << QRect(8, 8, 97, 13);
        QTest::addRow("connect") << QStringLiteral("cmdConnect") << QStringLiteral("Connect…") << QRect(113, 0, 79, 24);
        QTest::addRow("send key") << QStringLiteral("cmdSendKey") << QStringLiteral("Send Key") << QRect(200, 0, 66, 24);
        QTest::addRow("options") << QStringLiteral("cmdOptions") << QStringLiteral("Options") << QRect(336, 0, 66, 24);
        QTest::addRow("log list") << QStringLiteral("ListView1") << QString() << QRect(0, 24, 409, 169);
    }

    void controls_haveTheirNamesCaptionsAndPlaces()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QRect, geometry);
        FrmMain window(options());
        auto *widget = window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->geometry(), geometry);
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            QCOMPARE(button->text(), caption);
        QCOMPARE(window.size(), QSize(410, 195));
    }

    void logFile_isEmptiedAtStartAndWrittenOnlyWhileTicked()
    {
        const QString logPath = dir.filePath(QStringLiteral("Log.txt"));
        writeFile(logPath, "left from an earlier run\r\n");
        FrmMain window(options());
        window.Load();
        QCOMPARE(readFile(logPath), QByteArray());

        QCOMPARE(fetch(port, "GET /nothing HTTP/1.1\r\n\r\n").left(22), QByteArray("HTTP/1.1 404 Not Found"));
        QTRY_VERIFY(messages(window).contains(QStringLiteral("Finished Transfer.")));
        QCOMPARE(readFile(logPath), QByteArray());

        window.findChild<QCheckBox *>(QStringLiteral("chkEnabeLog"))->setChecked(true);
        fetch(port, "GET /nothing HTTP/1.1\r\n\r\n");
        QTRY_VERIFY(readFile(logPath).endsWith("Finished Transfer 1\r\n"));
        const QByteArray log = readFile(logPath);
        QVERIFY(log.startsWith("1 - Got Data: GET /nothing HTTP/1.1\r\n\r\n\r\n1 - Requested File: /nothing\r\n"));
        // Every line break in the file is CR LF.
        QCOMPARE(log.count('\n'), log.count("\r\n"));
    }

    void logFile_thatCannotBeCreated_isReportedAndTheProgramRunsOn()
    {
        QDir(dir.path()).mkdir(QStringLiteral("Log.txt"));
        FrmMain window(options());
        window.Load();
        const QStringList lines = messages(window);
        QVERIFY(std::any_of(lines.begin(), lines.end(), [](const QString &l) {
            return l.startsWith(QStringLiteral("Could not create Log.txt: "));
        }));
        QVERIFY(lines.at(lines.size() - 3).startsWith(QStringLiteral("Server listening on address ")));
        window.findChild<QCheckBox *>(QStringLiteral("chkEnabeLog"))->setChecked(true);
        QCOMPARE(fetch(port, "GET / HTTP/1.1\r\n\r\n").left(12), QByteArray("HTTP/1.1 303"));
    }

    void portTaken_theWindowStillOpensAndSaysWhy()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, quint16(port)));
        FrmMain window(options());
        window.Load();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QStringList lines = messages(window);
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(4), QStringLiteral("Key presses recorded"));
        QCOMPARE(lines.at(2), QStringLiteral("Server could not listen on port %1: the port is already in use by another program").arg(port));
        // Once the port is free, listening can start again.
        squatter.close();
        QVERIFY(window.server().StartListening());
    }

    void shutDown_savesKeysDatAndClosesEverySocket()
    {
        writeKeysDat("# a comment that a save does not keep\r\nkey\x1e" "FIRE\x1e" "30\x1e" "2\x1e" "0\x1e" "0\r\n");
        {
            FrmMain window(options());
            window.Load();
            vanterel::testing::TcpClient idle(port);
            QVERIFY(idle.connected());
            QTRY_COMPARE(window.server().Slots().size(), std::size_t(2));
            window.close();
            QCOMPARE(window.server().Slots().at(0).state, 0);
            QCOMPARE(window.server().Slots().at(1).state, 0);
            QCOMPARE(idle.read(), QByteArray());
            QVERIFY(idle.closedByPeer());
        }
        QCOMPARE(readFile(dir.filePath(QStringLiteral("keys.dat"))),
                 "PORT\x1e" + QByteArray::number(port) + "\r\nFOLDER\x1e" + dir.path().toLocal8Bit()
                     + "/htdocs\r\nkey\x1e" "FIRE\x1e" "30\x1e" "2\x1e" "0\x1e" "0\r\n");
    }

    void importedBindings_pressTheirKeysAndAreSavedAtExit()
    {
        const QString keyFile = dir.filePath(QStringLiteral("target.key"));
        QByteArray lines = "// exported by the target application\r\n";
        for (int i = 0; i < 3000; ++i)
            lines += "cmd" + QByteArray::number(i) + " desc 0 1E 2 0 0\r\n";
        lines += "gearup x 0 22 0 0x2A 0\n";
        writeFile(keyFile, lines);
        prompts.files = {keyFile};
        RecordingInjector *recorder = nullptr;
        {
            FrmMain window(options(&recorder));
            window.Load();
            window.show();
            // The options window is modal: drive it from inside its own loop.
            QTimer::singleShot(0, &window, [&window] {
                auto *opts = window.findChild<QDialog *>();
                QVERIFY(opts);
                opts->findChild<QPushButton *>(QStringLiteral("cmdLoadMarlek"))->click();
                opts->findChild<QPushButton *>(QStringLiteral("cmdClose"))->click();
            });
            window.findChild<QPushButton *>(QStringLiteral("cmdOptions"))->click();
            QCOMPARE(window.keyCommands().bindings()->upperBound(), 3001);

            QCOMPARE(fetch(port, "GET /?GearUp HTTP/1.1\r\n\r\n").left(12), QByteArray("HTTP/1.1 303"));
            // The import let go of every hold before the command pressed its keys.
            RecordingInjector::Call releaseAll;
            releaseAll.kind = RecordingInjector::Kind::ReleaseAll;
            QTRY_COMPARE(recorder->calls(),
                         (std::vector<RecordingInjector::Call>{releaseAll, {42, 0, 0, 0, 0}, {34, 0, 0, 0, 0}}));

            // Send Key dispatches the selected line, looking the window up.
            QTRY_COMPARE(window.SelectedLogText(), QStringLiteral("Finished Transfer."));
            window.AddMsg(QStringLiteral("CMD7"));
            window.findChild<QPushButton *>(QStringLiteral("cmdSendKey"))->click();
            QCOMPARE(recorder->lookUps(), std::vector<std::string>{"Marlek ORS"});
            QCOMPARE(recorder->calls().back(), (RecordingInjector::Call{30, 0, -1, 0, 0}));
            window.close();
        }
        const QByteArray saved = readFile(dir.filePath(QStringLiteral("keys.dat")));
        QCOMPARE(saved.count("\r\nkey\x1e"), 3001);
        QVERIFY(saved.contains("\r\nkey\x1e" "CMD0\x1e" "30\x1e" "2\x1e" "0\x1e" "0\r\n"));
        QVERIFY(saved.endsWith("key\x1e" "GEARUP\x1e" "34\x1e" "0\x1e" "42\x1e" "0\r\n"));
    }
};

QTEST_MAIN(TestFrmMain)
#include "test_frmmain.moc"
