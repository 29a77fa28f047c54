// The XTest backend and vanterel-keys against a real X server: a private Xvfb
// that the test starts itself, with an X client of its own receiving the keys.

#include "tests/support/PrivateXServer.h"
#include "tests/support/TestXClient.h"
#include "inject/Backends.h"

#include <QFileInfo>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace vanterel::inject;
using namespace vanterel::inject::test;

class TestXTestInjector : public QObject {
    Q_OBJECT

    PrivateXServer m_server;
    std::unique_ptr<TestXClient> m_client;
    std::unique_ptr<Injector> m_injector;

    // As many key events as expected, each of which must have gone to the window.
    QString keysAt(quint64 window, const QString &expected)
    {
        QStringList texts;
        for (const TestXClient::KeyEvent &event : m_client->keyEvents(int(expected.count(u',') + 1)))
            texts.append(event.window == window ? event.text : event.text + u" elsewhere"_s);
        return texts.join(u", "_s);
    }

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

    void cleanupTestCase() // before the server goes
    {
        m_injector.reset();
        m_client.reset();
    }

    void pressCombo_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("modifiers"); // 1 Shift, 2 Ctrl, 4 Alt
        QTest::addColumn<QString>("window"); // "none", or a window "given", or one given but "gone"
        QTest::addColumn<QString>("expected");

        // X key codes: Linux code + 8 (Ctrl 37, Shift 50, Alt 64, A 38, S 39, Z 52).
        QTest::addRow("Alt+Shift+Z to the focused window") << 44 << 5 << u"none"_s
            << u"down 50, down 64 Shift, down 52 Shift Alt, up 52 Shift Alt, up 64 Shift Alt, up 50 Shift"_s;
        QTest::addRow("Ctrl+A to the window given, which gets the focus")
            << 30 << 2 << u"given"_s << u"down 37, down 38 Ctrl, up 38 Ctrl, up 37 Ctrl"_s;
        // Its X errors must neither end the process nor keep the keys back.
        QTest::addRow("a window given that is gone: the focused one gets them")
            << 31 << 1 << u"gone"_s << u"down 50, down 39 Shift, up 39 Shift, up 50 Shift"_s;
    }

    void pressCombo()
    {
        QFETCH(int, code);
        QFETCH(int, modifiers);
        QFETCH(QString, window);
        QFETCH(QString, expected);

        const quint64 focused = m_client->createWindow("Focused");
        const quint64 target = m_client->createWindow("Target");
        QVERIFY(focused && target);
        m_client->focus(focused);
        if (window == u"gone")
            m_client->destroyWindow(target);
        m_injector->PressCombo(code, modifiers & 4 ? -1 : 0, modifiers & 2 ? -1 : 0, modifiers & 1 ? -1 : 0,
                               window == u"none" ? 0 : target);
        QCOMPARE(keysAt(window == u"given" ? target : focused, expected), expected);
    }

    void findWindow_data()
    {
        QTest::addColumn<QByteArrayList>("titles"); // WM_NAME (Latin-1) [|_NET_WM_NAME (UTF-8)], bottom first
        QTest::addColumn<QList<int>>("listed");     // on the EWMH client list
        QTest::addColumn<int>("gone");               // destroyed before the look-up
        QTest::addColumn<QString>("search");
        QTest::addColumn<int>("found");

        const QByteArrayList twins{"Twin", "Twin"};
        QTest::addRow("same title, other letter case") << QByteArrayList{"Marlek ORS"} << QList<int>() << -1
                                                       << u"mARLEK ors"_s << 0;
        QTest::addRow("_NET_WM_NAME is read as UTF-8 and wins over WM_NAME")
            << QByteArrayList{"Old title|Größe Übung"} << QList<int>() << -1 << u"GRÖßE übung"_s << 0;
        QTest::addRow("WM_NAME alone is read as Latin-1") << QByteArrayList{"Caf\xe9"} << QList<int>() << -1
                                                          << u"CAFÉ"_s << 0;
        QTest::addRow("WM_NAME is not looked at when _NET_WM_NAME is set")
            << QByteArrayList{"Old title|New title"} << QList<int>() << -1 << u"old title"_s << -1;
        QTest::addRow("a prefix of the title is no match") << QByteArrayList{"Marlek ORS"} << QList<int>() << -1
                                                           << u"Marlek"_s << -1;
        QTest::addRow("an empty title names no window") << QByteArrayList{""} << QList<int>() << -1 << QString() << -1;
        QTest::addRow("without a client list, the topmost") << twins << QList<int>() << -1 << u"twin"_s << 1;
        QTest::addRow("the client list before the window tree") << twins << QList<int>{0} << -1 << u"twin"_s << 0;
        QTest::addRow("a listed window that is gone is skipped") << twins << QList<int>{0, 1} << 0 << u"twin"_s << 1;
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
        QTest::addColumn<QStringList>("arguments"); // DISPLAY=... first: not our server's
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says"); // a line of its output
        QTest::addColumn<QString>("expected");

        // Without X the factory falls back to uinput, or says why it cannot.
        const InjectorChoice uinput = CreateUinputInjector();
        const auto withoutX = [line = QString::fromStdString(uinput.logLine), used = bool(uinput.injector)](
                                  const QString &x) { return used ? line : u"No key presses: %1 and %2"_s.arg(x, line); };
        int unused = 4321;
        while (QFileInfo::exists(u"/tmp/.X%1-lock"_s.arg(unused)))
            ++unused;
        const QString bad = u"vanterel-keys: \"%1\": %2"_s;

        QTest::addRow("a name with a modifier, then a code")
            << QStringList{u"--hold"_s, u"0"_s, u"shift+a"_s, u"0x1F"_s} << 0 << u"shift+a: key 30, modifiers 1"_s
            << u"down 50, down 38 Shift, up 38 Shift, up 50 Shift, down 39, up 39, "_s;
        QTest::addRow("the window of a title gets the keys")
            << QStringList{u"--window"_s, u"TOOL TARGET"_s, u"Ctrl+A"_s} << 0 << u"Ctrl+A: key 30, modifiers 2"_s
            << u"down 37, down 38 Ctrl, up 38 Ctrl, up 37 Ctrl, "_s;
        QTest::addRow("no window of that title") << QStringList{u"--window"_s, u"Nowhere"_s, u"A"_s} << 1
                                                 << u"vanterel-keys: no window titled \"Nowhere\""_s << QString();
        QTest::addRow("DISPLAY not set") << QStringList{u"DISPLAY="_s, u"--window"_s, u"Nowhere"_s, u"A"_s} << 1
                                         << withoutX(u"no X display (DISPLAY is not set)"_s) << QString();
        QTest::addRow("DISPLAY names no server")
            << QStringList{u"DISPLAY=:%1"_s.arg(unused), u"--window"_s, u"Nowhere"_s, u"A"_s} << 1
            << withoutX(u"no X display (cannot connect to :%1)"_s.arg(unused)) << QString();
        QTest::addRow("a bad combo after a good one: nothing pressed") << QStringList{u"A"_s, u"Ctrl+Nope"_s} << 2
                                                << bad.arg(u"Ctrl+Nope"_s, u"no key named \"Nope\""_s) << QString();
        QTest::addRow("no such modifier") << QStringList{u"Win+A"_s} << 2
                                          << bad.arg(u"Win+A"_s, u"\"Win\" is no modifier (Shift, Ctrl, Alt)"_s)
                                          << QString();
        QTest::addRow("a code that names no key")
            << QStringList{u"84"_s} << 2 << bad.arg(u"84"_s, u"code 84 names no key"_s) << QString();
        QTest::addRow("a hold out of range")
            << QStringList{u"--hold"_s, u"10001"_s, u"A"_s} << 2
            << u"vanterel-keys: --hold 10001: not a number of milliseconds from 0 to 10000"_s << QString();
        QTest::addRow("an unknown option")
            << QStringList{u"--fast"_s, u"A"_s} << 2 << u"vanterel-keys: unknown option --fast"_s << QString();
        QTest::addRow("nothing to press")
            << QStringList{u"--hold"_s, u"5"_s} << 2 << u"vanterel-keys: no combo to press"_s << QString();
    }

    void tool()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(QString, expected);

        const quint64 target = m_client->createWindow("Tool target");
        const quint64 other = m_client->createWindow("Other");
        QVERIFY(target && other);
        m_client->focus(arguments.contains(u"--window"_s) && status == 0 ? other : target);
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString display = arguments[0].startsWith(u"DISPLAY=") ? arguments.takeFirst().mid(8)
                                                                      : QString::fromLatin1(m_server.display());
        display.isEmpty() ? environment.remove(u"DISPLAY"_s) : environment.insert(u"DISPLAY"_s, display);
        tool.setProcessEnvironment(environment);
        tool.start(QStringLiteral(VANTEREL_KEYS), arguments);
        QVERIFY(tool.waitForFinished(10000));
        const QString output = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
        QCOMPARE(tool.exitCode(), status);
        QVERIFY2(output.split(u'\n').contains(says), qPrintable(output));

        // A Z of our own after the tool's: nothing it pressed may come after.
        m_injector->PressCombo(44, 0, 0, 0, 0);
        expected += u"down 52, up 52"_s;
        QCOMPARE(keysAt(target, expected), expected);
    }
};

QTEST_GUILESS_MAIN(TestXTestInjector)
#include "tst_xtestinjector.moc"
