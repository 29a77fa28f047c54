// The windows through their seams: the main window over a test folder with a recording injector, the
// options window over a recording server control, and dialogs and menus answered by the test.
#include "app/CommandPanel.h"
#include "app/FrmMain.h"
#include "config/FrmOpts.h"
#include "config/ReplaceFile.h"
#include "inject/RecordingInjector.h"
#include "tests/support/FreePort.h"
#include "tests/support/TcpClient.h"

#include <QtTest>
#include <QtWidgets>

#ifdef ReplaceFile // windows.h, through Qt's headers, renames it to the Win32 call
#undef ReplaceFile
#endif

using namespace Qt::StringLiterals;
using namespace vanterel;
using Call = inject::RecordingInjector::Call;

namespace {

// Answers the windows' questions from a script and records what was asked.
struct ScriptedPrompts final : config::Prompts {
    QStringList files;    // answers to openFile in order; none left is a cancel
    QStringList asked;    // "title, filter patterns, must exist or may be new"
    QStringList messages; // "title: text"
    QList<QPoint> menus;  // each menu shown chooses its first item
    QString openFile(QWidget *, const config::FileRequest &r) override
    {
        asked << u"%1, %2 %3, %4"_s.arg(r.title, r.filterName, r.patterns.join(u' '),
                                        r.fileMustExist ? u"must exist"_s : u"may be new"_s);
        return files.isEmpty() ? QString() : files.takeFirst();
    }
    void message(QWidget *, const QString &a, const QString &b) override { messages << a + u": "_s + b; }
    void popupMenu(QWidget *, QMenu *menu, const QPoint &at) override
    {
        menus << at;
        menu->actions().value(0)->trigger();
    }
};

} // namespace

class TestWindows : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    template <typename T = QPushButton> static T *child(QObject *parent, const char *name)
    {
        T *found = parent->findChild<T *>(QString::fromLatin1(name));
        return found ? found : (qFatal("no %s", name), nullptr);
    }
    static QStringList texts(const QAbstractItemModel *model, int role = Qt::DisplayRole)
    {
        QStringList all;
        for (int row = 0; row < model->rowCount(); ++row)
            all << model->index(row, 0).data(role).toString();
        return all;
    }
    QByteArray read(const QString &name) const
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }
    // Writes the file ("|" for the field separator of keys.dat) and returns its path.
    QString write(const QString &name, QByteArray bytes) const
    {
        QFile file(dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(bytes.replace('|', '\x1e'));
        return file.fileName();
    }

private Q_SLOTS:
    void mainWindow()
    {
        const qint32 port = testing::freePort();
        write(u"Log.txt"_s, "left from an earlier run");
        write(u"keys.dat"_s,
              "PORT|" + QByteArray::number(port) + "\r\nkey|FIRE|30|2|0|0\r\nkey|gearup|34|0|42|0\r\n");
        ScriptedPrompts prompts;
        auto recorder = std::make_unique<inject::RecordingInjector>();
        inject::RecordingInjector *injector = recorder.get();
        app::FrmMain window({dir.path(),
                             [&recorder] {
                                 return inject::InjectorChoice{std::move(recorder), "Key presses recorded"};
                             },
                             &prompts});
        window.Load();
        const QStringList first = texts(&window.logModel());
        const QString listening = first.value(2), prefix = u"Server listening on address "_s;
        QCOMPARE(
            first,
            (QStringList{u"Vanterel v1.1.0"_s, u"Loaded Configuration"_s, listening,
                         u"Files (keys.dat, Log.txt, htdocs) are in %1, beside the program"_s.arg(dir.path()),
                         u"Key presses recorded"_s}));
        QVERIFY2(listening.startsWith(prefix) && listening.endsWith(u":%1"_s.arg(port)),
                 qPrintable(listening));
        QCOMPARE(window.windowTitle() + u' ' + window.ServerSignature(),
                 u"Vanterel v1.1.0 Vanterel Version 1.1.0"_s);
        QStringList captions;
        for (const char *name : {"chkEnabeLog", "cmdConnect", "cmdSendKey", "cmdOptions"})
            captions << child<QAbstractButton>(&window, name)->text();
        QCOMPARE(captions, (QStringList{u"Enabe Log"_s, u"Connect…"_s, u"Send Key"_s, u"Options"_s}));
        child(&window, "cmdConnect")->click(); // it shows the address of the listening line
        QCOMPARE(child<QLabel>(&window, "lblUrl")->text(),
                 QString(listening).replace(prefix, u"http://"_s) + u'/');

        // Log.txt was emptied, and is written only while the box is ticked.
        testing::TcpClient idle(port);
        QCOMPARE(testing::exchange(port, "GET /none HTTP/1.1\r\n\r\n").left(12), QByteArray("HTTP/1.1 404"));
        QTRY_VERIFY(texts(&window.logModel()).contains(u"Finished Transfer."_s));
        QCOMPARE(read(u"Log.txt"_s), QByteArray());
        child<QCheckBox>(&window, "chkEnabeLog")->setChecked(true);
        QCOMPARE(testing::exchange(port, "GET /?GearUp HTTP/1.1\r\n\r\n").left(12),
                 QByteArray("HTTP/1.1 404"));
        QTRY_VERIFY(read(u"Log.txt"_s).endsWith("Finished Transfer 2\r\n"));
        QCOMPARE(read(u"Log.txt"_s).count('\n'), read(u"Log.txt"_s).count("\r\n"));
        QCOMPARE(injector->calls(), (std::vector<Call>{{42, 0, 0, 0, 0}, {34, 0, 0, 0, 0}}));

        // Send Key presses what the selected line names, looking for the window.
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *list = child<QTreeView>(&window, "ListView1");
        window.logModel().append(std::vector<QString>(150, u"no binding"_s)); // more at once than it keeps
        QCOMPARE(window.logModel().rowCount(), 100);
        window.AddMsg(u"Fire"_s);
        QTRY_COMPARE(list->currentIndex().row(), 99);
        list->setCurrentIndex(window.logModel().index(98, 0));
        child(&window, "cmdSendKey")->click();
        list->setCurrentIndex(window.logModel().index(99, 0));
        child(&window, "cmdSendKey")->click();
        QCOMPARE(injector->lookUps(), (std::vector<std::string>{"Marlek ORS", "Marlek ORS"}));
        QCOMPARE(injector->calls().size(), std::size_t(3));
        QCOMPARE(injector->calls().back(), (Call{30, 0, -1, 0, 0}));
        // The event log keeps the newest 100 lines, keyed by their number since start-up.
        QCOMPARE(window.logModel().key(0) + window.logModel().key(99),
                 u"c%1c%2"_s.arg(window.MessageCount() - 99).arg(window.MessageCount()));

        // Closing runs the shut-down: every socket closes.
        window.close();
        QCOMPARE(idle.read(), QByteArray());
        QVERIFY(idle.closedByPeer());
    }

    // A run that died holding keys and saving keys.dat; then only the devices the user allows.
    void devicesAndLeftovers()
    {
        QTemporaryDir folder;
        const qint32 port = testing::freePort();
        const auto put = [&](const QString &name, const QByteArray &bytes) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        };
        put(u"keys.dat"_s,
            "PORT\x1e" + QByteArray::number(port)
                + "\r\nDEVICES\x1eonly\r\nkey\x1e"
                  "FIRE\x1e"
                  "30\x1e"
                  "2\x1e"
                  "0\x1e"
                  "0\r\n");
        put(u"held-keys.txt"_s, "48 29\r\n");
        put(u"keys.dat.vanterel-save-Ab3dE9"_s, "cut short");
        put(u"keys.dat.vanterel-save-Ab3dE"_s, "not ours: five letters");
        auto recorder = std::make_unique<inject::RecordingInjector>();
        inject::RecordingInjector *injector = recorder.get();
        app::FrmMain window({folder.path(), [&recorder] {
                                 return inject::InjectorChoice{std::move(recorder), "Key presses recorded"};
                             }});
        window.Load();
        const QStringList lines = texts(&window.logModel());
        QVERIFY(lines.contains(
            u"Removed keys.dat.vanterel-save-Ab3dE9, left by a save of keys.dat that was cut short"_s));
        QVERIFY(lines.last().startsWith(u"Released keys left down by the last run: B, "_s));
        QCOMPARE(QDir(folder.path()).entryList({u"keys.dat*"_s, u"held*"_s}, QDir::Files),
                 (QStringList{u"keys.dat"_s, u"keys.dat.vanterel-save-Ab3dE"_s}));
        QCOMPARE(injector->calls().size(), std::size_t(1));
        QCOMPARE(injector->calls()[0].kind, inject::RecordingInjector::Kind::Leftovers);

        // A browser's tap from a device nobody allowed: refused, and the user asked once.
        const QByteArray host
            = "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\nUser-Agent: Mozilla/5.0\r\n";
        const QByteArray tap = "GET /?FIRE HTTP/1.1\r\n" + host
            + "Referer: http://127.0.0.1:" + QByteArray::number(port) + "/\r\n\r\n";
        const QString refused = u"Refused command FIRE: device 127.0.0.1 is not allowed to press keys"_s;
        testing::exchange(port, tap);
        testing::exchange(port, tap);
        QTRY_COMPARE(texts(&window.logModel()).count(refused), 2);
        const auto prompts = [&] { return window.findChildren<QMessageBox *>(u"msgDevice"_s); };
        QTRY_COMPARE(prompts().size(), 1);
        QCOMPARE(prompts()[0]->text(), u"Allow 127.0.0.1 to press keys?"_s);
        QVERIFY(!prompts()[0]->isModal());

        // The connect window's URL allows the device that opens it, once.
        child(&window, "cmdConnect")->click();
        QVERIFY(child<QCheckBox>(&window, "chkOnlyAllowed")->isChecked());
        const QString url = child<QLabel>(&window, "lblUrl")->text();
        const QByteArray query = url.mid(url.indexOf(u'?')).toLatin1();
        QVERIFY2(
            QRegularExpression(u"^\\?\\.pair=[0-9a-f]{16}$"_s).match(QString::fromLatin1(query)).hasMatch(),
            query);
        const QByteArray scan = "GET /" + query + " HTTP/1.1\r\n" + host + "\r\n";
        testing::exchange(port, scan);
        QTRY_COMPARE(texts(&window.logModel()).count(u"Allowed 127.0.0.1 to press keys (QR code)"_s), 1);
        QTRY_COMPARE(texts(child<QListWidget>(&window, "lstDevices")->model()), QStringList{u"127.0.0.1"_s});
        QVERIFY(child<QLabel>(&window, "lblUrl")->text() != url); // a new code for the next device
        testing::exchange(port, scan);
        QTRY_VERIFY(
            texts(&window.logModel())
                .contains(u"Refused the code from 127.0.0.1: it is not the one the Connect window shows"_s));
        QCOMPARE(injector->calls().size(), std::size_t(1)); // no code is pressed as a command
        testing::exchange(port, tap);
        QTRY_COMPARE(injector->calls().size(), std::size_t(2));

        // Forgotten, the device is asked about again; Allow lets it press.
        auto *devices = child<QListWidget>(&window, "lstDevices");
        devices->setCurrentRow(0);
        child(&window, "cmdForget")->click();
        QCOMPARE(devices->count(), 0);
        testing::exchange(port, tap);
        QTRY_COMPARE(prompts().size(), 2);
        QMessageBox *ask = prompts().last();
        for (QAbstractButton *button : ask->buttons())
            if (button->text() == u"Allow"_s)
                button->click();
        QCOMPARE(devices->count(), 1);
        testing::exchange(port, tap);
        QTRY_COMPARE(injector->calls().size(), std::size_t(3));
        window.close();
        QFile saved(folder.filePath(u"keys.dat"_s));
        QVERIFY(saved.open(QIODevice::ReadOnly)
                && saved.readAll().contains("DEVICES\x1eonly\x1e"
                                            "127.0.0.1\r\n"));
    }

    // Names come from the user's key files: none can break out of the page or the link.
    void commandPanel_escapesNames()
    {
        const QByteArray page
            = app::CommandPanelPage("<div>@BUTTONS@</div>", {{u"<b>\"Gear\" #1 & 100%"_s, u"Ctrl+<"_s}});
        QCOMPARE(
            page,
            QByteArray(
                "<div><a class=\"command\" "
                "href=\"/.vanterel/commands?%3Cb%3E%22Gear%22%20%231%20&amp;%20100%25\" "
                "data-name=\"&lt;b&gt;&quot;Gear&quot; #1 &amp; 100%\"><span class=\"name\">&lt;b&gt;&quot;"
                "Gear&quot; #1 &amp; 100%</span><span class=\"keys\">Ctrl+&lt;</span></a>\n</div>"));
        QCOMPARE(app::CommandQuery(u"+GEAR_UP-1.b~'(x)*,;=:@/?\u00e9"_s),
                 u"+GEAR_UP-1.b~'(x)*,;=:@/?%C3%A9"_s);
    }

    // The bindings follow the key file last imported, replaced by rename or rewritten in place, broken, gone
    // and back; keys.dat's holds stay with their bindings and reach the injector; the open options window
    // follows.
    void keyFileFollowed()
    {
        QTemporaryDir folder;
        const QString keyFile = folder.filePath(u"sim.key"_s);
        // By rename as an editor saves: a new file takes the old one's name in one step (the
        // program's own save does that on both platforms, where std::rename would refuse on Windows).
        const auto put = [](const QString &path, QByteArray bytes, bool byRename) {
            bytes.replace('|', '\x1e');
            if (byRename) {
                QCOMPARE(config::ReplaceFile(path, bytes), QString());
                return;
            }
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        };
        const qint32 port = testing::freePort();
        put(keyFile, "FIRE x 0 1E 2 0 0", true);
        put(folder.filePath(u"keys.dat"_s),
            "PORT|" + QByteArray::number(port) + "\r\nHOLD|120\r\nKEYFILE|" + keyFile.toUtf8()
                + "\r\nkey|FIRE|30|2|0|0|200\r\nkey|B|48|0|0|0|5\r\n",
            false);
        auto recorder = std::make_unique<inject::RecordingInjector>();
        inject::RecordingInjector *injector = recorder.get();
        ScriptedPrompts prompts;
        app::FrmMain window({folder.path(),
                             [&recorder] {
                                 return inject::InjectorChoice{std::move(recorder), "Key presses recorded"};
                             },
                             &prompts});
        window.Load();
        const auto logged = [&](const QString &line) { return texts(&window.logModel()).count(line); };
        QCOMPARE(logged(u"Ignored the hold of B \"5\" in keys.dat: a hold is from 10 to 1000 ms"_s), 1);

        put(keyFile, "FIRE x 0 1F 2 0 0\nB x 0 30 0 0 0", true);
        QTRY_COMPARE(logged(u"Key file changed: 2 bindings from "_s + keyFile), 1);
        put(keyFile, "FIRE x 0 1FFFFFFFFF 2 0 0", false);
        QTRY_COMPARE(logged(u"Key file changed, the bindings stay: Overflow in line 1: \"1FFFFFFFFF\" does "
                            "not fit in 32 bits"_s),
                     1);
        QVERIFY(QFile::remove(keyFile));
        QTRY_COMPARE(logged(u"Key file changed, the bindings stay: File not found: "_s + keyFile), 1);
        for (const QByteArray command : {"FIRE", "B"})
            testing::exchange(port, "GET /?" + command + " HTTP/1.1\r\n\r\n");
        const auto tap = [](qint32 key, qint32 ctrl, int ms) {
            Call call{key, 0, ctrl, 0, 0};
            call.hold = std::chrono::milliseconds(ms);
            return call;
        };
        QTRY_COMPARE(injector->calls(),
                     (std::vector<Call>{{0, 0, 0, 0, 0, inject::RecordingInjector::Kind::ReleaseAll},
                                        tap(31, -1, 200),
                                        tap(48, 0, 120)}));

        // Back, while the options window is open (modal: the test goes on inside its event loop).
        QTimer::singleShot(0, this, [&] {
            auto *options = window.findChild<config::FrmOpts *>();
            const auto close = qScopeGuard([options] { options->reject(); });
            put(keyFile, "Fire x 0 1E 2 0 0", true);
            auto *list = child<QTreeWidget>(options, "ListView1");
            QTRY_COMPARE(list->topLevelItemCount(), 1);
            QCOMPARE(list->topLevelItem(0)->text(1), u"Ctrl+A (200 ms)"_s);
            QCOMPARE(logged(u"Key file changed: 1 bindings from "_s + keyFile), 1);
        });
        child(&window, "cmdOptions")->click();
        window.close();
        QFile saved(folder.filePath(u"keys.dat"_s));
        QVERIFY(saved.open(QIODevice::ReadOnly)
                && saved.readAll().contains("\x1e" + keyFile.toUtf8() + "\r\n"));
    }

    void optionsWindow()
    {
        struct : http::ServerControl {
            void RestartListening(qint32 port) override { ports.append(port); }
            void SetDocumentRoot(const QString &root) override { roots.append(root); }
            QList<qint32> ports;
            QStringList roots;
        } server;
        Settings settings{8080, u"/start"_s, u"Marlek ORS"_s, {}, {}, false, {}, false, {}};
        keys::KeyCommands keys(settings, nullptr);
        keys::KeyBindings table;
        for (const QString &name : {u"C"_s, u"a"_s, u"B"_s})
            table.append({29, 0, 30, 3, name});
        keys.replaceBindings(table);
        ScriptedPrompts prompts;
        config::FrmOpts window(settings, keys, server, prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *txtPort = child<QLineEdit>(&window, "txtPort"),
             *txtHtdocs = child<QLineEdit>(&window, "txtHtdocs");
        QCOMPARE(window.windowTitle() + txtPort->text() + txtHtdocs->text(), u"Options8080/start"_s);

        // Sorted by callback without regard to case; binding 1 ("d1") selected.
        auto *list = child<QTreeWidget>(&window, "ListView1");
        const QTreeWidgetItem *header = list->headerItem(), *c = list->topLevelItem(2);
        QCOMPARE(texts(list->model()) + texts(list->model(), config::FrmOpts::RowKeyRole),
                 (QStringList{u"a"_s, u"B"_s, u"C"_s, u"d2"_s, u"d3"_s, u"d1"_s}));
        QCOMPARE((QStringList{header->text(0), header->text(1), header->text(2), c->text(1), c->text(2)}),
                 (QStringList{u"CallBack"_s, u"Key"_s, u"Modifier"_s, u"Ctrl+Shift+A"_s, u"LCTRL"_s}));
        QCOMPARE(list->selectedItems(), QList<QTreeWidgetItem *>{list->topLevelItem(2)});

        // The port: 1 to 65535 (the message's "<65535" notwithstanding), as a leading number.
        for (const QString &text : {u"0"_s, u"65536"_s, u"65535"_s, u"80.5xyz"_s}) {
            txtPort->setText(text);
            child(&window, "cmdSet")->click();
        }
        QCOMPARE(prompts.messages, QStringList(2, u"Vanterel: Invalid port. Should be >0 and <65535"_s));
        QCOMPARE(server.ports, (QList<qint32>{65535, 80}));
        QCOMPARE(settings.ServerPort, 80);

        // The folder of the page chosen; a cancel, or typing, changes nothing.
        txtHtdocs->setText(u"/typed by hand"_s);
        prompts.files = {QString(), u"/x/Site/index.htm"_s, u"/index.htm"_s};
        for (int i = 0; i < 3; ++i)
            child(&window, "cmdChangehtdocs")->click();
        QCOMPARE(prompts.asked,
                 QStringList(3, u"Set htdocs folder, HTML files (*.htm,*.html) *.htm *.html, may be new"_s));
        QCOMPARE(server.roots, (QStringList{u"/x/Site"_s, QString()}));
        QCOMPARE(settings.DocumentRoot + txtHtdocs->text(), QString());

        // An import that fails part-way: the table has changed, the list has not.
        prompts.files = {QString(), write(u"bad.key"_s, "A x 0 1E 0 0 0\nB x 0 1E 9999999999 0 0")};
        child(&window, "cmdLoadMarlek")->click(); // cancelled
        child(&window, "cmdLoadMarlek")->click();
        QCOMPARE(prompts.asked.mid(3),
                 QStringList(2, u"Import Marlek Key File, Marlek key files (*.key) *.key, must exist"_s));
        QCOMPARE(prompts.messages.mid(2),
                 QStringList{u"Vanterel: An error occured: Error #6. Overflow in line 2: "
                             "\"9999999999\" does not fit in 32 bits"_s});
        QCOMPARE(keys.bindings()->upperBound(), 2);
        QCOMPARE(texts(list->model()), (QStringList{u"a"_s, u"B"_s, u"C"_s}));

        // A right-button release over a row copies its callback.
        QWidget *rows = list->viewport();
        const QPoint b = list->visualItemRect(list->topLevelItem(1)).center();
        QTest::mouseRelease(rows, Qt::RightButton, {}, b);
        QCOMPARE(prompts.menus, QList<QPoint>{rows->mapToGlobal(b)});
        QCOMPARE(QGuiApplication::clipboard()->text(), u"B"_s);
        // An import that works refreshes the list; beside its rows a right-click forgets, shows no menu.
        prompts.files = {write(u"good.key"_s, "X x 0 1E 0 0 0")};
        child(&window, "cmdLoadMarlek")->click();
        QCOMPARE(texts(list->model()), QStringList{u"X"_s});
        QTest::mouseClick(rows, Qt::RightButton, {}, {10, rows->height() - 5});
        QCOMPARE(window.SelectedCallback(), QString());
        QCOMPARE(prompts.menus.size(), 1);
    }
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
