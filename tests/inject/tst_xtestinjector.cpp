// The XTest backend and vanterel-keys against a real X server: a private Xvfb
// that the test starts itself, with an X client of its own receiving the keys
// (X key codes are Linux codes + 8: Ctrl 37, Shift 50, Alt 64, A 38, S 39, Z 52).

#include "inject/Backends.h"
#include "tests/support/PrivateXServer.h"
#include "tests/support/TestXClient.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace vanterel::inject;
using namespace vanterel::inject::test;

class TestXTestInjector : public QObject {
    Q_OBJECT

    PrivateXServer m_server; // members go in reverse order: the server last
    std::unique_ptr<TestXClient> m_client;
    std::unique_ptr<Injector> m_injector;

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty())
            QSKIP("Xvfb is not installed (Debian package xvfb): no X server to press keys on");
        const QString failure = m_server.start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        m_client = std::make_unique<TestXClient>(m_server.display());
        QVERIFY(m_client->isOpen());
        InjectorChoice choice = CreateXTestInjector(m_server.display().toStdString(), 0ms);
        QVERIFY2(choice.injector, choice.logLine.c_str());
        m_injector = std::move(choice.injector);
    }

    void cleanup()
    {
        m_client->setClientList({});
        m_client->destroyWindow(0);
    }

    void findWindow_data()
    {
        QTest::addColumn<QByteArrayList>("titles"); // WM_NAME (Latin-1) [|_NET_WM_NAME (UTF-8)], bottom first
        QTest::addColumn<QList<int>>("listed");     // on the EWMH client list
        QTest::addColumn<int>("gone");              // destroyed before the look-up
        QTest::addColumn<QString>("search");
        QTest::addColumn<int>("found");

        const QList<int> unlisted;
        const QByteArrayList twins{"Twin", "Twin"};
        QTest::addRow("same title, other letter case")
            << QByteArrayList{"Marlek ORS"} << unlisted << -1 << u"mARLEK ors"_s << 0;
        QTest::addRow("_NET_WM_NAME is read as UTF-8 and wins over WM_NAME")
            << QByteArrayList{"Old title|Größe Übung"} << unlisted << -1 << u"GRÖßE übung"_s << 0;
        QTest::addRow("WM_NAME alone is read as Latin-1")
            << QByteArrayList{"Caf\xe9"} << unlisted << -1 << u"CAFÉ"_s << 0;
        QTest::addRow("an empty title names no window")
            << QByteArrayList{""} << unlisted << -1 << QString() << -1;
        QTest::addRow("without a client list, the topmost") << twins << unlisted << -1 << u"twin"_s << 1;
        QTest::addRow("the client list before the window tree")
            << twins << QList<int>{0} << -1 << u"twin"_s << 0;
        QTest::addRow("a listed window that is gone is skipped")
            << twins << QList<int>{0, 1} << 0 << u"twin"_s << 1;
    }

    void findWindow()
    {
        QFETCH(QByteArrayList, titles);
        QFETCH(QList<int>, listed);
        QFETCH(int, gone);
        QFETCH(QString, search);
        QFETCH(int, found);

        QList<quint64> windows, list;
        for (const QByteArray &title : titles) {
            windows.append(m_client->createWindow(title.split('|')[0], title.split('|').value(1)));
            QVERIFY(windows.last());
        }
        for (const int i : listed)
            list.append(windows[i]);
        m_client->setClientList(list);
        if (gone >= 0)
            m_client->destroyWindow(windows[gone]);
        QCOMPARE(m_injector->FindWindow(search.toStdString()), found < 0 ? 0 : windows[found]);
    }

    void tool_data()
    {
        QTest::addColumn<QString>("arguments"); // DISPLAY=... first: not our server's
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("expected"); // the keys at the focused window or the one of --window

        // Without X the factory falls back to uinput, or says why it cannot.
        const InjectorChoice uinput = CreateUinputInjector();
        const auto withoutX
            = [line = QString::fromStdString(uinput.logLine), used = bool(uinput.injector)](
                  const QString &x) { return used ? line : u"No key presses: %1 and %2"_s.arg(x, line); };

        QTest::addRow("a name with a modifier, then a code")
            << u"--hold 0 shift+a 0x1F"_s << 0 << u"shift+a: key 30, modifiers 1"_s
            << u"down 50, down 38 Shift, up 38 Shift, up 50 Shift, down 39, up 39, "_s;
        QTest::addRow("the window of a title gets the keys")
            << u"--window TOOL-TARGET Ctrl+A"_s << 0 << u"Ctrl+A: key 30, modifiers 2"_s
            << u"down 37, down 38 Ctrl, up 38 Ctrl, up 37 Ctrl, "_s;
        QTest::addRow("no window of that title")
            << u"--window Nowhere A"_s << 1 << u"no window titled \"Nowhere\""_s << QString();
        QTest::addRow("no DISPLAY") << u"DISPLAY= --window Nowhere A"_s << 1
                                    << withoutX(u"no X display (DISPLAY is not set)"_s) << QString();
        QTest::addRow("DISPLAY names no server")
            << u"DISPLAY=:99999 --window Nowhere A"_s << 1
            << withoutX(u"no X display (cannot connect to :99999)"_s) << QString();
        QTest::addRow("a bad combo after a good one: nothing pressed")
            << u"A Ctrl+Nope"_s << 2 << u"\"Ctrl+Nope\": no key named \"Nope\""_s << QString();
        QTest::addRow("no such modifier")
            << u"Win+A"_s << 2 << u"\"Win\" is no modifier (Shift, Ctrl, Alt)"_s << QString();
        QTest::addRow("a hold out of range")
            << u"--hold 10001 A"_s << 2 << u"--hold 10001: not a number of milliseconds from 0 to 10000"_s
            << QString();
    }

    void tool()
    {
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(QString, expected);

        const quint64 target = m_client->createWindow("Tool-target"), other = m_client->createWindow("Other");
        QVERIFY(target && other);
        m_client->focus(arguments.contains(u"--window"_s) && status == 0 ? other : target);
        QStringList words = arguments.split(u' ');
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DISPLAY"_s, QString::fromLatin1(m_server.display()));
        if (words[0].startsWith(u"DISPLAY=")) // an empty one counts as none
            environment.insert(u"DISPLAY"_s, words.takeFirst().mid(8));
        QProcess tool;
        tool.setProcessEnvironment(environment);
        tool.start(QStringLiteral(VANTEREL_KEYS), words);
        QVERIFY(tool.waitForFinished(10000));
        const QString output = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
        QCOMPARE(tool.exitCode(), status);
        QVERIFY2(output.contains(says), qPrintable(output));

        // Then an Alt+Z of our own, for a window that is gone: its X errors must
        // neither end the process nor keep the keys from the focused window.
        // Nothing the tool pressed may come after it.
        m_client->destroyWindow(other);
        m_injector->PressCombo(44, -1, 0, 0, other);
        expected += u"down 64, down 52 Alt, up 52 Alt, up 64 Alt"_s;
        QStringList keys;
        for (const TestXClient::KeyEvent &event : m_client->keyEvents(int(expected.count(u',') + 1)))
            keys.append(event.window == target ? event.text : event.text + u" elsewhere"_s);
        QCOMPARE(keys.join(u", "_s), expected);
    }
};

QTEST_GUILESS_MAIN(TestXTestInjector)
#include "tst_xtestinjector.moc"
