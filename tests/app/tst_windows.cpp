// The windows through their seams: the main window over a test folder with a
// recording injector, the options window over a recording server control, and
// file dialogs, message boxes and menus answered by the test.
#include "app/FrmConnect.h"
#include "app/FrmMain.h"
#include "config/FrmOpts.h"
#include "inject/RecordingInjector.h"
#include "tests/support/FreePort.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TcpClient.h"

#include <QtTest>
#include <QtWidgets>

using namespace Qt::StringLiterals;
using namespace vanterel;
using Call = inject::RecordingInjector::Call;

namespace {

template <typename T = QPushButton> T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QString::fromLatin1(name));
    return found ? found : (qFatal("no %s", name), nullptr);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QStringList texts(const QAbstractItemModel *model, int role = Qt::DisplayRole)
{
    QStringList all;
    for (int row = 0; row < model->rowCount(); ++row)
        all << model->index(row, 0).data(role).toString();
    return all;
}

} // namespace

class TestWindows : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    testing::ScriptedPrompts prompts;
    inject::RecordingInjector *injector = nullptr;
    qint32 port = 0;

    QString path(const QString &name) const { return dir->filePath(name); }
    // A main window over the test folder, loaded, on the port keys.dat gives.
    std::unique_ptr<app::FrmMain> load(const QByteArray &moreOfKeysDat = {})
    {
        writeFile(path(u"keys.dat"_s), "PORT\x1e" + QByteArray::number(port) + "\r\n" + moreOfKeysDat);
        auto window = std::make_unique<app::FrmMain>(app::FrmMain::Options{dir->path(), [this] {
            auto recorder = std::make_unique<inject::RecordingInjector>();
            injector = recorder.get();
            return inject::InjectorChoice{std::move(recorder), "Key presses recorded"};
        }, &prompts});
        window->Load();
        return window;
    }

private Q_SLOTS:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        port = testing::freePort();
        prompts = {};
        QVERIFY(QDir(dir->path()).mkpath(u"htdocs"_s));
    }

    void mainWindow()
    {
        writeFile(path(u"Log.txt"_s), "left from an earlier run");
        prompts.files = {writeFile(path(u"t.key"_s), "// exported\r\nfire x 0 1E 2 0 0\r\ngearup x 0 22 0 0x2A 0\n")};
        {
            const auto window = load("# a comment that a save drops\r\n");
            const QStringList first = texts(&window->logModel());
            const QString listening = first.value(2), prefix = u"Server listening on address "_s;
            QCOMPARE(first, (QStringList{u"Vanterel v1.1.0"_s, u"Loaded Configuration"_s, listening,
                                         u"Files (keys.dat, Log.txt, htdocs) are in %1, beside the program"_s.arg(dir->path()),
                                         u"Key presses recorded"_s}));
            QVERIFY2(listening.startsWith(prefix) && listening.endsWith(u":%1"_s.arg(port)), qPrintable(listening));
            QCOMPARE(window->windowTitle(), u"Vanterel v1.1.0"_s);
            QCOMPARE(window->ServerSignature(), u"Vanterel Version 1.1.0"_s);
            QCOMPARE(window->settings().DocumentRoot, dir->path() + u"/htdocs"_s);
            QCOMPARE(window->windowIcon().availableSizes().size(), 5);
            QCOMPARE(window->size(), QSize(410, 195));
            const std::tuple<const char *, const char *, QRect> controls[] = {
                {"chkEnabeLog", "Enabe Log", {8, 8, 97, 13}}, {"cmdConnect", "Connect…", {113, 0, 79, 24}},
                {"cmdSendKey", "Send Key", {200, 0, 66, 24}}, {"cmdOptions", "Options", {336, 0, 66, 24}},
                {"ListView1", nullptr, {0, 24, 409, 169}}};
            for (const auto &[name, caption, geometry] : controls) {
                QCOMPARE(child<QWidget>(window.get(), name)->geometry(), geometry);
                if (caption)
                    QCOMPARE(child<QAbstractButton>(window.get(), name)->text(), QString::fromUtf8(caption));
            }
            child(window.get(), "cmdConnect")->click(); // it shows the address of the listening line
            QCOMPARE(child<QLabel>(window.get(), "lblUrl")->text(), QString(listening).replace(prefix, u"http://"_s) + u'/');
            // Send Key without any binding does nothing, not even look for the window.
            child(window.get(), "cmdSendKey")->click();
            QCOMPARE(injector->lookUps().size(), std::size_t(0));

            // Log.txt was emptied, and is written only while the box is ticked.
            testing::TcpClient idle(port);
            QCOMPARE(testing::exchange(port, "GET /none HTTP/1.1\r\n\r\n").left(12), QByteArray("HTTP/1.1 404"));
            QTRY_VERIFY(texts(&window->logModel()).contains(u"Finished Transfer."_s));
            QCOMPARE(readFile(path(u"Log.txt"_s)), QByteArray());
            child<QCheckBox>(window.get(), "chkEnabeLog")->setChecked(true);
            testing::exchange(port, "GET /none HTTP/1.1\r\n\r\n");
            QTRY_VERIFY(readFile(path(u"Log.txt"_s)).endsWith("Finished Transfer 2\r\n"));
            const QByteArray log = readFile(path(u"Log.txt"_s));
            QVERIFY2(log.startsWith("2 - Got Data: GET /none HTTP/1.1\r\n\r\n\r\n2 - Requested File: /none\r\n"), log);
            QCOMPARE(log.count('\n'), log.count("\r\n"));

            // The options window is modal: it is driven from inside its own loop.
            QTimer::singleShot(0, window.get(), [&window] {
                auto *opts = window->findChild<QDialog *>();
                child(opts, "cmdLoadMarlek")->click();
                child(opts, "cmdClose")->click();
            });
            child(window.get(), "cmdOptions")->click();
            QCOMPARE(testing::exchange(port, "GET /?GearUp HTTP/1.1\r\n\r\n").left(12), QByteArray("HTTP/1.1 303"));
            // The import let go of every hold before the command pressed its keys.
            Call releaseAll;
            releaseAll.kind = inject::RecordingInjector::Kind::ReleaseAll;
            QTRY_COMPARE(injector->calls(), (std::vector<Call>{releaseAll, {42, 0, 0, 0, 0}, {34, 0, 0, 0, 0}}));
            QTRY_COMPARE(texts(&window->logModel()).count(u"Finished Transfer."_s), 3);

            // Send Key presses what the selected line names, looking for the window.
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            auto *list = child<QTreeView>(window.get(), "ListView1");
            for (int i = 1; i <= 99; ++i)
                window->AddMsg(u"line %1"_s.arg(i));
            window->AddMsg(u"Fire"_s);
            QCOMPARE(window->SelectedLogText(), u"Fire"_s); // at once, before the view has caught up
            QTRY_COMPARE(list->currentIndex().row(), 99);
            QVERIFY(list->selectionModel()->isSelected(list->currentIndex()));
            QVERIFY(list->viewport()->rect().contains(list->visualRect(list->currentIndex())));
            list->setCurrentIndex(window->logModel().index(98, 0)); // a line that names no binding
            child(window.get(), "cmdSendKey")->click();
            list->setCurrentIndex(window->logModel().index(99, 0));
            child(window.get(), "cmdSendKey")->click();
            QCOMPARE(injector->lookUps(), (std::vector<std::string>{"Marlek ORS", "Marlek ORS"}));
            QCOMPARE(injector->calls().back(), (Call{30, 0, -1, 0, 0}));
            QCOMPARE(injector->calls().size(), std::size_t(4));

            // Closing runs the shut-down: every socket closes, keys.dat is saved.
            window->close();
            QCOMPARE(window->server().Slots().at(0).state, 0);
            QCOMPARE(window->server().Slots().at(1).state, 0);
            QCOMPARE(idle.read(), QByteArray());
            QVERIFY(idle.closedByPeer());
        }
        QCOMPARE(readFile(path(u"keys.dat"_s)),
                 "PORT\x1e" + QByteArray::number(port) + "\r\nFOLDER\x1e" + path(u"htdocs"_s).toLocal8Bit()
                     + "\r\nkey\x1e" "FIRE\x1e" "30\x1e" "2\x1e" "0\x1e" "0\r\nkey\x1e" "GEARUP\x1e" "34\x1e" "0\x1e"
                       "42\x1e" "0\r\n");
    }

    void mainWindow_opensWhatever_data()
    {
        QTest::addColumn<QString>("blocked");
        QTest::addColumn<QString>("line");
        QTest::addRow("Log.txt cannot be created") << u"Log.txt"_s << u"Could not create Log.txt: "_s;
        QTest::addRow("the port is taken")
            << u"port"_s << u"Server could not listen on port %1: the port is already in use by another program"_s;
    }

    void mainWindow_opensWhatever()
    {
        QFETCH(QString, blocked);
        QFETCH(QString, line);
        QTcpServer squatter;
        QVERIFY(blocked == u"port" ? squatter.listen(QHostAddress::Any, quint16(port)) : QDir(dir->path()).mkdir(blocked));
        const auto window = load();
        const QStringList first = texts(&window->logModel());
        QVERIFY2(first.value(2).startsWith(line.replace(u"%1"_s, QString::number(port))), qPrintable(first.join(u'\n')));
        // The port can be had again, and the log ticked, with a file or without.
        squatter.close();
        window->server().RestartListening(port);
        QTRY_VERIFY(texts(&window->logModel()).last().startsWith(u"Server listening on address "_s));
        child<QCheckBox>(window.get(), "chkEnabeLog")->setChecked(true);
        QCOMPARE(testing::exchange(port, "GET / HTTP/1.1\r\n\r\n").left(12), QByteArray("HTTP/1.1 303"));
    }

    void eventLog_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("batch"); // lines added at once
        QTest::addColumn<QString>("oldest");
        QTest::addRow("the 100th line removes nothing") << 100 << 1 << u"c1"_s;
        QTest::addRow("the 101st removes c1") << 101 << 1 << u"c2"_s;
        QTest::addRow("250 lines keep 151 to 250") << 250 << 1 << u"c151"_s;
        QTest::addRow("in one batch too") << 250 << 250 << u"c151"_s;
        QTest::addRow("in batches that each drop some") << 130 << 60 << u"c31"_s;
    }

    void eventLog()
    {
        QFETCH(int, count);
        QFETCH(int, batch);
        app::EventLogModel model;
        for (int i = 1; i <= count; i += batch) {
            std::vector<QString> lines;
            for (int n = i; n < i + batch && n <= count; ++n)
                lines.push_back(u"line %1"_s.arg(n));
            model.append(lines);
        }
        QCOMPARE(model.MessageCount(), count);
        QCOMPARE(model.rowCount(), 100);
        QTEST(model.key(0), "oldest");
        QCOMPARE(model.key(99), u"c%1"_s.arg(count));
        QCOMPARE(texts(&model).last(), u"line %1"_s.arg(count));
    }

    void optionsWindow()
    {
        struct : http::ServerControl {
            void RestartListening(qint32 port) override { ports.append(port); }
            void SetDocumentRoot(const QString &root) override { roots.append(root); }
            QList<qint32> ports;
            QStringList roots;
        } server;
        Settings settings{8080, u"/start"_s, u"Marlek ORS"_s, {}, {}, false};
        keys::KeyCommands keys(settings, nullptr);
        keys::KeyBindings table;
        table.append({29, 0, 30, 3, u"ZZZ"_s});
        for (int i = 0; i < 60; ++i) // so that binding 1 sorts far below the first screenful
            table.append({0, 0, 30, 0, (i % 2 ? u"a%1"_s : u"B%1"_s).arg(10 + i)});
        keys.replaceBindings(table);
        config::FrmOpts window(settings, keys, server, prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), u"Options"_s);
        auto *txtPort = child<QLineEdit>(&window, "txtPort"), *txtHtdocs = child<QLineEdit>(&window, "txtHtdocs");
        QCOMPARE(txtPort->text(), u"8080"_s);
        QCOMPARE(txtHtdocs->text(), u"/start"_s);

        // Sorted by callback without regard to case, and kept so when a header
        // is clicked; binding 1 selected and in view.
        auto *list = child<QTreeWidget>(&window, "ListView1");
        const QTreeWidgetItem *header = list->headerItem(), *last = list->topLevelItem(60);
        QCOMPARE((QStringList{header->text(0), header->text(1), header->text(2)}),
                 (QStringList{u"CallBack"_s, u"Key"_s, u"Modifier"_s}));
        for (int section : {-1, 0, 1}) {
            if (section >= 0)
                QTest::mouseClick(list->header()->viewport(), Qt::LeftButton, {},
                                  {list->header()->sectionViewportPosition(section) + 5, 5});
            QCOMPARE(texts(list->model()).mid(29, 3), (QStringList{u"a69"_s, u"B10"_s, u"B12"_s}));
            QCOMPARE(texts(list->model(), config::FrmOpts::RowKeyRole).mid(29, 3),
                     (QStringList{u"d61"_s, u"d2"_s, u"d4"_s}));
        }
        QCOMPARE((QStringList{last->text(0), last->text(1), last->text(2)}),
                 (QStringList{u"ZZZ"_s, u"Ctrl+Shift+A"_s, u"LCTRL"_s}));
        QCOMPARE(list->selectedItems(), QList<QTreeWidgetItem *>{list->currentItem()});
        QCOMPARE(list->currentItem(), last);
        QVERIFY(list->viewport()->rect().contains(list->visualItemRect(last)));

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
        child(&window, "cmdChangehtdocs")->click();
        QCOMPARE(settings.DocumentRoot, u"/start"_s);
        child(&window, "cmdChangehtdocs")->click();
        child(&window, "cmdChangehtdocs")->click();
        QCOMPARE(prompts.asked.size(), 3);
        QCOMPARE(prompts.asked[0].title, u"Set htdocs folder"_s);
        QCOMPARE(prompts.asked[0].filterName, u"HTML files (*.htm,*.html)"_s);
        QCOMPARE(prompts.asked[0].patterns, (QStringList{u"*.htm"_s, u"*.html"_s}));
        QVERIFY(!prompts.asked[0].fileMustExist);
        QCOMPARE(server.roots, (QStringList{u"/x/Site"_s, QString()}));
        QCOMPARE(settings.DocumentRoot, QString());
        QCOMPARE(txtHtdocs->text(), QString());

        // An import that fails part-way: the table has changed, the list has not.
        prompts.files = {QString(), writeFile(path(u"bad.key"_s), "A x 0 1E 0 0 0\nB x 0 1E 9999999999 0 0")};
        child(&window, "cmdLoadMarlek")->click(); // cancelled
        child(&window, "cmdLoadMarlek")->click();
        QCOMPARE(prompts.asked[3].title, u"Import Marlek Key File"_s);
        QCOMPARE(prompts.asked[3].filterName, u"Marlek key files (*.key)"_s);
        QCOMPARE(prompts.asked[3].patterns, QStringList{u"*.key"_s});
        QVERIFY(prompts.asked[3].fileMustExist);
        QCOMPARE(prompts.messages.mid(2), QStringList{u"Vanterel: An error occured: Error #6. Overflow in line 2: "
                                                      "\"9999999999\" does not fit in 32 bits"_s});
        QCOMPARE(keys.bindings()->upperBound(), 2);
        QCOMPARE(list->topLevelItemCount(), 61);

        // Right-click copies the callback of the row under the mouse.
        QWidget *rows = list->viewport();
        list->scrollToItem(list->topLevelItem(30));
        const QPoint b10 = list->visualItemRect(list->topLevelItem(30)).center();
        prompts.menuChoice = u"mnucopycallback"_s;
        QGuiApplication::clipboard()->setText(u"before"_s);
        QTest::mousePress(rows, Qt::RightButton, {}, b10); // a press does nothing
        QCOMPARE(prompts.menus.size(), 0);
        QTest::mouseRelease(rows, Qt::RightButton, {}, b10);
        QCOMPARE(window.SelectedCallback(), u"B10"_s);
        QCOMPARE(prompts.menus, QList<QPoint>{rows->mapToGlobal(b10)});
        QCOMPARE(QGuiApplication::clipboard()->text(), u"B10"_s);
        QTest::mouseClick(rows, Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(31)).center());
        QCOMPARE(window.SelectedCallback(), u"B10"_s); // a left click changes nothing
        // An import that works refreshes the list; beside the rows a right-click forgets, shows no menu.
        prompts.files = {writeFile(path(u"good.key"_s), "X x 0 1E 0 0 0")};
        child(&window, "cmdLoadMarlek")->click();
        QCOMPARE(texts(list->model()), QStringList{u"X"_s});
        QGuiApplication::clipboard()->setText(u"before"_s);
        QTest::mouseClick(rows, Qt::RightButton, {}, {10, rows->height() - 5});
        QCOMPARE(window.SelectedCallback(), QString());
        QCOMPARE(prompts.menus.size(), 1);
        child<QAction>(&window, "mnucopycallback")->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), u"before"_s);

        // Nothing is applied on closing.
        txtPort->setText(u"4242"_s);
        child(&window, "cmdClose")->click();
        QVERIFY(!window.isVisible());
        QCOMPARE(server.ports.size(), 2);
    }

    void connectWindow()
    {
        app::FrmConnect window(nullptr, [] { return QStringList{u"192.168.1.20"_s, u"10.0.0.5"_s}; });
        window.setServer(80, u"10.0.0.5"_s);
        window.show();
        window.setServer(65535, u"10.0.0.5"_s); // the open window follows a port change
        QStringList urls, files;
        for (const QLabel *label : window.findChildren<QLabel *>(u"lblUrl"_s))
            urls << label->text();
        QCOMPARE(urls, (QStringList{u"http://10.0.0.5:65535/"_s, u"http://192.168.1.20:65535/"_s}));
        for (const QLabel *code : window.findChildren<QLabel *>(u"picQrCode"_s)) {
            QVERIFY(code->pixmap().width() >= 200 && code->pixmap().height() == code->pixmap().width());
            files << path(u"%1.png"_s.arg(files.size()));
            QVERIFY(code->pixmap().save(files.last()));
        }
        window.setServer(80, QString()); // not listening: no address works
        QCOMPARE(window.findChildren<QLabel *>(u"lblUrl"_s).size(), 0);
        const QString zbarimg = QStandardPaths::findExecutable(u"zbarimg"_s);
        if (zbarimg.isEmpty())
            QSKIP("zbarimg is not installed (Debian package zbar-tools): the codes are not read back");
        QProcess zbar;
        zbar.start(zbarimg, QStringList{u"--quiet"_s, u"--raw"_s} + files);
        QVERIFY(zbar.waitForFinished(30000));
        QCOMPARE(zbar.readAllStandardOutput(), "http://10.0.0.5:65535/\nhttp://192.168.1.20:65535/\n");
    }
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
