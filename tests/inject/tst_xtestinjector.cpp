// The XTest backend against a real X server: a private Xvfb that the test
// starts itself (never the developer's display, where keys would land in real
// windows), with an X client of the test's own that receives the keys.

#include "tests/support/PrivateXServer.h"
#include "tests/support/TestXClient.h"
#include "inject/Backends.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace vanterel::inject;
using namespace vanterel::inject::test;

namespace {

QStringList texts(const QList<TestXClient::KeyEvent> &events)
{
    QStringList result;
    for (const TestXClient::KeyEvent &event : events)
        result.append(event.text);
    return result;
}

} // namespace

class TestXTestInjector : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void pressCombo_noWindow_focusedWindowGetsTheStroke_data();
    void pressCombo_noWindow_focusedWindowGetsTheStroke();
    void pressCombo_givenWindow_isFocusedAndGetsTheKeys();
    void pressCombo_windowGone_keysGoToTheFocusedWindow();
    void findWindow_title_data();
    void findWindow_title();
    void findWindow_clientList_isUsedBeforeTheWindowTree();
    void findWindow_listedWindowGone_isSkipped();
    void createInjector_display_data();
    void createInjector_display();
    void tool_data();
    void tool();

private:
    std::unique_ptr<PrivateXServer> m_server;
    std::unique_ptr<TestXClient> m_client;
    std::unique_ptr<Injector> m_injector;
};

void TestXTestInjector::initTestCase()
{
    if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty())
        QSKIP("Xvfb is not installed (Debian package xvfb): no X server to press keys on");
    m_server = std::make_unique<PrivateXServer>();
    const QString failure = m_server->start();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    m_client = std::make_unique<TestXClient>(m_server->display());
    QVERIFY(m_client->isOpen());

    InjectorChoice choice = CreateXTestInjector(m_server->display().toStdString(), 0ms);
    QVERIFY2(choice.injector, choice.logLine.c_str());
    QCOMPARE(choice.logLine, "Key presses through XTest on display " + m_server->display().toStdString());
    QCOMPARE(choice.injector->name(), "XTest");
    m_injector = std::move(choice.injector);
}

void TestXTestInjector::cleanup()
{
    if (m_client) {
        m_client->removeClientList();
        m_client->destroyWindows();
    }
}

void TestXTestInjector::cleanupTestCase()
{
    m_injector.reset(); // before the server goes
    m_client.reset();
    m_server.reset();
}

void TestXTestInjector::pressCombo_noWindow_focusedWindowGetsTheStroke_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("alt");
    QTest::addColumn<int>("ctrl");
    QTest::addColumn<int>("shift");
    QTest::addColumn<QStringList>("expected");

    // X key codes: Linux code + 8 (Ctrl 37, Shift 50, Alt 64, A 38, Z 52).
    QTest::addRow("Alt+Shift+Z")
        << 44 << -1 << 0 << -1
        << QStringList{u"down 50"_s, u"down 64 Shift"_s, u"down 52 Shift Alt"_s,
                       u"up 52 Shift Alt"_s, u"up 64 Shift Alt"_s, u"up 50 Shift"_s};
    QTest::addRow("RIGHT, an extended key, alone")
        << 205 << 0 << 0 << 0 << QStringList{u"down 114"_s, u"up 114"_s};
}

void TestXTestInjector::pressCombo_noWindow_focusedWindowGetsTheStroke()
{
    QFETCH(int, code);
    QFETCH(int, alt);
    QFETCH(int, ctrl);
    QFETCH(int, shift);
    QFETCH(QStringList, expected);

    const quint64 window = m_client->createWindow("Key target");
    QVERIFY(window);
    m_client->focus(window);

    m_injector->PressCombo(code, alt, ctrl, shift, 0);

    const QList<TestXClient::KeyEvent> events = m_client->keyEvents(int(expected.size()));
    QCOMPARE(texts(events), expected);
    for (const TestXClient::KeyEvent &event : events)
        QCOMPARE(event.window, window);
}

void TestXTestInjector::pressCombo_givenWindow_isFocusedAndGetsTheKeys()
{
    const quint64 target = m_client->createWindow("Target");
    const quint64 other = m_client->createWindow("Other");
    QVERIFY(target && other);
    m_client->focus(other);

    m_injector->PressCombo(30, 0, -1, 0, target);

    const QList<TestXClient::KeyEvent> events = m_client->keyEvents(4);
    QCOMPARE(texts(events),
             (QStringList{u"down 37"_s, u"down 38 Ctrl"_s, u"up 38 Ctrl"_s, u"up 37 Ctrl"_s}));
    for (const TestXClient::KeyEvent &event : events)
        QCOMPARE(event.window, target);
    QCOMPARE(m_client->focusedWindow(), target);
}

void TestXTestInjector::pressCombo_windowGone_keysGoToTheFocusedWindow()
{
    // The X errors of activating a closed window must neither end the process
    // nor keep the keys from the focused window.
    const quint64 focused = m_client->createWindow("Focused");
    const quint64 gone = m_client->createWindow("Gone");
    QVERIFY(focused && gone);
    m_client->focus(focused);
    m_client->destroyWindow(gone);

    m_injector->PressCombo(31, 0, 0, -1, gone);

    const QList<TestXClient::KeyEvent> events = m_client->keyEvents(4);
    QCOMPARE(texts(events),
             (QStringList{u"down 50"_s, u"down 39 Shift"_s, u"up 39 Shift"_s, u"up 50 Shift"_s}));
    for (const TestXClient::KeyEvent &event : events)
        QCOMPARE(event.window, focused);
}

void TestXTestInjector::findWindow_title_data()
{
    QTest::addColumn<QByteArray>("wmName");
    QTest::addColumn<QByteArray>("netWmName");
    QTest::addColumn<QString>("search");
    QTest::addColumn<bool>("found");

    QTest::addRow("same title, other letter case")
        << QByteArray("Marlek ORS") << QByteArray() << u"mARLEK ors"_s << true;
    QTest::addRow("_NET_WM_NAME is read as UTF-8 and wins over WM_NAME")
        << QByteArray("Old title") << QByteArray("Größe Übung") << u"GRÖßE übung"_s << true;
    QTest::addRow("WM_NAME alone is read as Latin-1")
        << QByteArray("Caf\xe9") << QByteArray() << u"CAFÉ"_s << true;
    QTest::addRow("WM_NAME is not looked at when _NET_WM_NAME is set")
        << QByteArray("Old title") << QByteArray("New title") << u"old title"_s << false;
    QTest::addRow("a prefix of the title is no match")
        << QByteArray("Marlek ORS") << QByteArray() << u"Marlek"_s << false;
    QTest::addRow("an empty title names no window")
        << QByteArray("") << QByteArray() << QString() << false;
}

void TestXTestInjector::findWindow_title()
{
    QFETCH(QByteArray, wmName);
    QFETCH(QByteArray, netWmName);
    QFETCH(QString, search);
    QFETCH(bool, found);

    const quint64 window = m_client->createWindow(wmName, netWmName);
    QVERIFY(window);

    QCOMPARE(m_injector->FindWindow(search.toStdString()), found ? window : 0);
}

void TestXTestInjector::findWindow_clientList_isUsedBeforeTheWindowTree()
{
    const quint64 managed = m_client->createWindow("Twin");
    const quint64 stray = m_client->createWindow("Twin"); // above the first
    QVERIFY(managed && stray);

    // Without a window manager's list, the topmost window of that title.
    QCOMPARE(m_injector->FindWindow("twin"), stray);

    m_client->setClientList({managed});
    QCOMPARE(m_injector->FindWindow("twin"), managed);
}

void TestXTestInjector::findWindow_listedWindowGone_isSkipped()
{
    const quint64 gone = m_client->createWindow("Marlek ORS");
    const quint64 live = m_client->createWindow("Marlek ORS");
    QVERIFY(gone && live);
    m_client->setClientList({gone, live});
    m_client->destroyWindow(gone);

    QCOMPARE(m_injector->FindWindow("Marlek ORS"), live);
    QCOMPARE(m_injector->FindWindow("Nothing of that name"), quint64(0));
}

void TestXTestInjector::createInjector_display_data()
{
    QTest::addColumn<QByteArray>("display"); // null: DISPLAY unset
    QTest::addColumn<QString>("expected");

    const QByteArray ours = m_server->display();
    QTest::addRow("DISPLAY names a reachable server: XTest")
        << ours << u"Key presses through XTest on display "_s + QString::fromLatin1(ours);

    // Without X, the factory falls back to uinput, or says why it cannot.
    InjectorChoice uinput = CreateUinputInjector();
    const QString withoutX = uinput.injector ? QString::fromStdString(uinput.logLine)
                                             : u"No key presses: %1 and "_s + QString::fromStdString(uinput.logLine);
    uinput.injector.reset();

    QTest::addRow("DISPLAY not set")
        << QByteArray() << withoutX.arg(u"no X display (DISPLAY is not set)"_s);

    int unused = 4321;
    while (QFileInfo::exists(u"/tmp/.X%1-lock"_s.arg(unused)))
        ++unused;
    const QByteArray nowhere = ':' + QByteArray::number(unused);
    QTest::addRow("DISPLAY names no server")
        << nowhere
        << withoutX.arg(u"no X display (cannot connect to %1)"_s.arg(QString::fromLatin1(nowhere)));
}

void TestXTestInjector::createInjector_display()
{
    QFETCH(QByteArray, display);
    QFETCH(QString, expected);

    const QByteArray saved = qgetenv("DISPLAY");
    const bool wasSet = qEnvironmentVariableIsSet("DISPLAY");
    if (display.isNull())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", display);

    const InjectorChoice choice = CreateInjector();

    if (wasSet)
        qputenv("DISPLAY", saved);
    else
        qunsetenv("DISPLAY");
    QCOMPARE(QString::fromStdString(choice.logLine), expected);
}

void TestXTestInjector::tool_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says"); // a line of its standard output or error
    QTest::addColumn<QStringList>("expected");

    QTest::addRow("a name with a modifier, then a code")
        << QStringList{u"--hold"_s, u"0"_s, u"shift+a"_s, u"0x1F"_s} << 0 << u"shift+a: key 30, modifiers 1"_s
        << QStringList{u"down 50"_s, u"down 38 Shift"_s, u"up 38 Shift"_s, u"up 50 Shift"_s, u"down 39"_s,
                       u"up 39"_s};
    QTest::addRow("the window of a title gets the keys")
        << QStringList{u"--window"_s, u"TOOL TARGET"_s, u"Ctrl+A"_s} << 0 << u"Ctrl+A: key 30, modifiers 2"_s
        << QStringList{u"down 37"_s, u"down 38 Ctrl"_s, u"up 38 Ctrl"_s, u"up 37 Ctrl"_s};
    QTest::addRow("no window of that title") << QStringList{u"--window"_s, u"Nowhere"_s, u"A"_s} << 1
                                             << u"vanterel-keys: no window titled \"Nowhere\""_s << QStringList();
    QTest::addRow("a name the table lacks") << QStringList{u"A"_s, u"Ctrl+Nope"_s} << 2
                                            << u"vanterel-keys: \"Ctrl+Nope\": no key named \"Nope\""_s
                                            << QStringList();
    QTest::addRow("no such modifier") << QStringList{u"Win+A"_s} << 2
                                      << u"vanterel-keys: \"Win+A\": \"Win\" is no modifier (Shift, Ctrl, Alt)"_s
                                      << QStringList();
    QTest::addRow("a code that names no key") << QStringList{u"84"_s} << 2
                                              << u"vanterel-keys: \"84\": code 84 names no key"_s << QStringList();
    QTest::addRow("a hold out of range") << QStringList{u"--hold"_s, u"10001"_s, u"A"_s} << 2
                                         << u"vanterel-keys: --hold 10001: not a number of milliseconds from 0 "
                                            "to 10000"_s
                                         << QStringList();
    QTest::addRow("an unknown option") << QStringList{u"--fast"_s, u"A"_s} << 2
                                       << u"vanterel-keys: unknown option --fast"_s << QStringList();
    QTest::addRow("nothing to press") << QStringList{u"--hold"_s, u"5"_s} << 2
                                      << u"vanterel-keys: no combo to press"_s << QStringList();
}

void TestXTestInjector::tool()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(QStringList, expected);

    const quint64 target = m_client->createWindow("Tool target");
    const quint64 other = m_client->createWindow("Other");
    QVERIFY(target && other);
    m_client->focus(arguments.contains(u"--window"_s) ? other : target);

    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, QString::fromLatin1(m_server->display()));
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral(VANTEREL_KEYS), arguments);
    QVERIFY(tool.waitForFinished(10000));
    const QString output = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), status);
    QVERIFY2(output.split(u'\n').contains(says), qPrintable(output));
    if (status == 0)
        QVERIFY(output.startsWith(u"Key presses through XTest on display "_s));

    // A Z of our own after the tool: nothing it pressed may come after it.
    m_injector->PressCombo(44, 0, 0, 0, 0);
    const QList<TestXClient::KeyEvent> events = m_client->keyEvents(int(expected.size()) + 2);
    QCOMPARE(texts(events), (expected + QStringList{u"down 52"_s, u"up 52"_s}));
    for (qsizetype i = 0; i < expected.size(); ++i)
        QCOMPARE(events[i].window, target);
}

QTEST_GUILESS_MAIN(TestXTestInjector)
#include "tst_xtestinjector.moc"
