// The options window under the offscreen platform, with the server it
// controls and its prompts standing in: what reaches the server is recorded.
#include "common/Settings.h"
#include "config/FrmOpts.h"
#include "http/Server.h"
#include "keys/KeyCommands.h"
#include "keys/KeyFileImport.h"
#include "tests/support/ScriptedPrompts.h"

#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

using namespace Qt::StringLiterals;
using namespace vanterel;
using vanterel::config::FrmOpts;

namespace {
struct RecordingControl final : http::ServerControl {
    void RestartListening(qint32 port) override { restarts.append(port); }
    void SetDocumentRoot(const QString &root) override { roots.append(root); }
    QList<qint32> restarts;
    QStringList roots;
};

const QString StartRoot = u"/start/htdocs"_s;
const QString PortMessage = u"Invalid port. Should be >0 and <65535"_s;
} // namespace

class TestFrmOpts : public QObject {
    Q_OBJECT

private:
    Settings settings;
    testing::ScriptedPrompts prompts;
    std::unique_ptr<keys::KeyCommands> keys;
    RecordingControl server;
    std::unique_ptr<FrmOpts> window;
    QTemporaryDir dir;

    void open()
    {
        window = std::make_unique<FrmOpts>(settings, *keys, server, prompts);
    }
    void openShown()
    {
        open();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    template <typename T> T *child(const char *name)
    {
        T *found = window->findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    QTreeWidget *list() { return child<QTreeWidget>("ListView1"); }
    QStringList shownCallbacks()
    {
        QStringList texts;
        for (int i = 0; i < list()->topLevelItemCount(); ++i)
            texts.append(list()->topLevelItem(i)->text(0));
        return texts;
    }
    void addBindings(const QStringList &callbacks)
    {
        keys::KeyBindings table = *keys->bindings();
        for (const QString &callback : callbacks)
            table.append({0, 0, 30, 0, callback});
        keys->replaceBindings(std::move(table));
    }
    QString writeKeyFile(const QByteArray &text)
    {
        static int serial = 0;
        const QString path = dir.filePath(u"k%1.key"_s.arg(++serial));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            qFatal("cannot write the key file");
        return path;
    }
    QPoint centreOfRow(const QString &callback)
    {
        const auto found = list()->findItems(callback, Qt::MatchExactly, 0);
        return found.isEmpty() ? QPoint() : list()->visualItemRect(found.first()).center();
    }

private Q_SLOTS:
    void init()
    {
        settings = Settings{};
        settings.ServerPort = 8080;
        settings.DocumentRoot = StartRoot;
        server = RecordingControl{};
        prompts = testing::ScriptedPrompts{};
        keys = std::make_unique<keys::KeyCommands>(settings, nullptr);
    }

    void cleanup()
    {
        window.reset();
        keys.reset();
    }

    void opening_showsSettingsAndBindingTexts()
    {
        keys::KeyBindings table;
        table.append({29, 0, 30, 3, u"GEARUP"_s});
        keys->replaceBindings(table);
        open();
        QCOMPARE(window->windowTitle(), u"Options"_s);
        QVERIFY(!window->windowIcon().isNull());
        QCOMPARE(child<QLineEdit>("txtPort")->text(), QString::number(settings.ServerPort));
        QCOMPARE(child<QLineEdit>("txtHtdocs")->text(), StartRoot);
        QTreeWidgetItem *header = list()->headerItem();
        QCOMPARE((QStringList{header->text(0), header->text(1), header->text(2)}),
                 (QStringList{u"CallBack"_s, u"Key"_s, u"Modifier"_s}));
        QTreeWidgetItem *row = list()->topLevelItem(0);
        QVERIFY(row);
        QCOMPARE((QStringList{row->text(0), row->text(1), row->text(2)}),
                 (QStringList{u"GEARUP"_s, u"Ctrl+Shift+A"_s, u"LCTRL"_s}));
        QCOMPARE(row->data(0, FrmOpts::RowKeyRole).toString(), u"d1"_s);
    }

    void setPort_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("port");
        QTest::addRow("zero is refused") << u"0"_s << false << 0;
        QTest::addRow("65535 is accepted though the message says <65535") << u"65535"_s << true << 65535;
        QTest::addRow("65536 is refused") << u"65536"_s << false << 0;
        QTest::addRow("a half rounds to the even port") << u"80.5"_s << true << 80;
        QTest::addRow("a number beyond 32 bits is refused") << u"99999999999"_s << false << 0;
        QTest::addRow("a negative port is refused") << u"-80"_s << false << 0;
    }

    void setPort()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(int, port);
        const qint32 before = settings.ServerPort;
        open();
        child<QLineEdit>("txtPort")->setText(text);
        child<QPushButton>("cmdSet")->click();

        QCOMPARE(child<QLineEdit>("txtPort")->text(), text);
        if (!accepted) {
            QCOMPARE(prompts.messages.size(), 1);
            QCOMPARE(prompts.messages[0].title, u"Vanterel"_s);
            QCOMPARE(prompts.messages[0].text, PortMessage);
            QCOMPARE(settings.ServerPort, before);
            QVERIFY(server.restarts.isEmpty());
            return;
        }
        QVERIFY(prompts.messages.isEmpty());
        QCOMPARE(settings.ServerPort, port);
        QCOMPARE(server.restarts, QList<qint32>{port});
    }

    void import_sortsByCallbackAndSelectsBindingOne()
    {
        prompts.files = {writeKeyFile("C x 0 2E 0 0 0\r\nA x 0 1E 0 0 0\r\nB x 0 30 0 0 0\r\n")};
        open();
        child<QPushButton>("cmdLoadMarlek")->click();

        QCOMPARE(prompts.fileRequests.size(), 1);
        const config::FileRequest &asked = prompts.fileRequests[0];
        QCOMPARE(asked.title, u"Import Marlek Key File"_s);
        QCOMPARE(asked.filterName, u"Marlek key files (*.key)"_s);
        QCOMPARE(asked.patterns, QStringList{u"*.key"_s});
        QVERIFY(asked.fileMustExist);
        QVERIFY(prompts.messages.isEmpty());

        QCOMPARE(shownCallbacks(), (QStringList{u"A"_s, u"B"_s, u"C"_s}));
        QStringList rowKeys;
        for (int i = 0; i < list()->topLevelItemCount(); ++i)
            rowKeys.append(list()->topLevelItem(i)->data(0, FrmOpts::RowKeyRole).toString());
        QCOMPARE(rowKeys, (QStringList{u"d2"_s, u"d3"_s, u"d1"_s}));
        QVERIFY(list()->currentItem());
        QCOMPARE(list()->currentItem()->text(0), u"C"_s);
        QCOMPARE(list()->selectedItems().size(), 1);
        QCOMPARE(list()->selectedItems().first()->text(0), u"C"_s);
    }

    void import_withoutBindings_emptiesTheList()
    {
        addBindings({u"OLD"_s});
        prompts.files = {writeKeyFile("// nothing here\r\nX x 1 1E 0 0 0\r\n")};
        open();
        child<QPushButton>("cmdLoadMarlek")->click();
        QVERIFY(prompts.messages.isEmpty());
        QCOMPARE(list()->topLevelItemCount(), 0);
        QVERIFY(list()->selectedItems().isEmpty());
    }

    void import_scrollsBindingOneIntoView()
    {
        // Binding 1 sorts last, far below the first screenful of the open window.
        QByteArray text = "ZZZ x 0 1E 0 0 0\r\n";
        for (int i = 0; i < 60; ++i)
            text += QByteArray::number(100 + i) + " x 0 1E 0 0 0\r\n";
        prompts.files = {writeKeyFile(text)};
        openShown();
        child<QPushButton>("cmdLoadMarlek")->click();
        QTreeWidgetItem *last = list()->topLevelItem(list()->topLevelItemCount() - 1);
        QVERIFY(last);
        QCOMPARE(last->text(0), u"ZZZ"_s);
        QCOMPARE(list()->currentItem(), last);
        QVERIFY(list()->viewport()->rect().contains(list()->visualItemRect(last)));
    }

    void headerClick_keepsTheOrder()
    {
        addBindings({u"C"_s, u"A"_s, u"b"_s});
        openShown();
        const QStringList sorted{u"A"_s, u"b"_s, u"C"_s};
        QCOMPARE(shownCallbacks(), sorted);
        QHeaderView *header = list()->header();
        for (int section : {0, 1, 0}) {
            const QPoint at(header->sectionViewportPosition(section) + 5, header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
            QCOMPARE(shownCallbacks(), sorted);
            QCOMPARE(header->sortIndicatorSection(), 0);
            QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
        }
    }

    void import_error_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("number");
        QTest::addRow("a file that is not there") << QByteArray() << keys::ImportError::FileNotFound;
        QTest::addRow("a mask beyond 32 bits after a good line")
            << QByteArray("A x 0 1E 0 0 0\r\nB x 0 1E 99999999999 0 0\r\n") << keys::ImportError::Overflow;
    }

    void import_error()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, number);
        const QString path = text.isEmpty() ? dir.filePath(u"missing.key"_s) : writeKeyFile(text);
        addBindings({u"Y"_s, u"X"_s});
        prompts.files = {path};
        open();
        child<QPushButton>("cmdLoadMarlek")->click();

        keys::KeyBindings scratch;
        const auto error = keys::ImportKeyFile(path, scratch);
        QVERIFY(error);
        QCOMPARE(error->number, number);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, u"Vanterel"_s);
        QCOMPARE(prompts.messages[0].text,
                 u"An error occured: Error #%1. %2"_s.arg(error->number).arg(error->description));
        // The table has changed, the list has not.
        QCOMPARE(keys->bindings()->upperBound(), scratch.upperBound());
        QCOMPARE(shownCallbacks(), (QStringList{u"X"_s, u"Y"_s}));
    }

    void cancelledDialogs_changeNothing()
    {
        addBindings({u"KEEP"_s});
        open();
        child<QLineEdit>("txtHtdocs")->setText(u"/typed/by/hand"_s);
        child<QPushButton>("cmdLoadMarlek")->click();
        child<QPushButton>("cmdChangehtdocs")->click();
        QCOMPARE(prompts.fileRequests.size(), 2);
        QVERIFY(prompts.messages.isEmpty());
        QCOMPARE(settings.DocumentRoot, StartRoot);
        QCOMPARE(child<QLineEdit>("txtHtdocs")->text(), u"/typed/by/hand"_s);
        QCOMPARE(keys->bindings()->upperBound(), 1);
        QCOMPARE(shownCallbacks(), QStringList{u"KEEP"_s});
    }

    void changeFolder_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("root");
        QTest::addRow("a page in a folder gives that folder") << u"/x/Site/index.htm"_s << u"/x/Site"_s;
        QTest::addRow("a page at the root gives the empty text") << u"/index.htm"_s << QString();
        QTest::addRow("a folder named like the page is kept")
            << u"/a/index.htm/index.htm"_s << u"/a/index.htm"_s;
    }

    void changeFolder()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, root);
        prompts.files = {chosen};
        open();
        child<QPushButton>("cmdChangehtdocs")->click();
        QCOMPARE(prompts.fileRequests.size(), 1);
        const config::FileRequest &asked = prompts.fileRequests[0];
        QCOMPARE(asked.title, u"Set htdocs folder"_s);
        QCOMPARE(asked.filterName, u"HTML files (*.htm,*.html)"_s);
        QCOMPARE(asked.patterns, (QStringList{u"*.htm"_s, u"*.html"_s}));
        QVERIFY(!asked.fileMustExist);
        QCOMPARE(settings.DocumentRoot, root);
        QCOMPARE(server.roots, QStringList{root});
        QCOMPARE(child<QLineEdit>("txtHtdocs")->text(), root);
        QVERIFY(prompts.messages.isEmpty());
    }

    void rightRelease_overRow_remembersItAndCopies()
    {
        addBindings({u"GEARUP"_s, u"FLAPS"_s});
        openShown();
        prompts.menuChoice = u"mnucopycallback"_s;
        QGuiApplication::clipboard()->setText(u"before"_s);
        QWidget *viewport = list()->viewport();
        const QPoint overGear = centreOfRow(u"GEARUP"_s);
        QVERIFY(!overGear.isNull());

        QTest::mousePress(viewport, Qt::RightButton, {}, overGear);
        QCOMPARE(window->SelectedCallback(), QString());
        QVERIFY(prompts.menuPositions.isEmpty());

        QTest::mouseRelease(viewport, Qt::RightButton, {}, overGear);
        QCOMPARE(window->SelectedCallback(), u"GEARUP"_s);
        QCOMPARE(prompts.menuPositions, QList<QPoint>{viewport->mapToGlobal(overGear)});
        QCOMPARE(QGuiApplication::clipboard()->text(), u"GEARUP"_s);

        // A left click elsewhere changes neither the remembered name nor the clipboard.
        QTest::mouseClick(viewport, Qt::LeftButton, {}, centreOfRow(u"FLAPS"_s));
        QCOMPARE(window->SelectedCallback(), u"GEARUP"_s);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"GEARUP"_s);
        QCOMPARE(prompts.menuPositions.size(), 1);
    }

    void rightRelease_besideRows_forgetsAndCopiesNothing()
    {
        addBindings({u"GEARUP"_s});
        openShown();
        QWidget *viewport = list()->viewport();
        QTest::mouseClick(viewport, Qt::RightButton, {}, centreOfRow(u"GEARUP"_s));
        QCOMPARE(window->SelectedCallback(), u"GEARUP"_s);

        QGuiApplication::clipboard()->setText(u"before"_s);
        const QPoint below(10, viewport->height() - 5);
        QVERIFY(!list()->itemAt(below));
        QTest::mouseClick(viewport, Qt::RightButton, {}, below);
        QCOMPARE(window->SelectedCallback(), QString());
        QCOMPARE(prompts.menuPositions.size(), 1);
        child<QAction>("mnucopycallback")->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), u"before"_s);
    }

    void close_appliesNothing()
    {
        const qint32 port = settings.ServerPort;
        openShown();
        child<QLineEdit>("txtPort")->setText(u"4242"_s);
        child<QLineEdit>("txtHtdocs")->setText(u"/elsewhere"_s);
        child<QPushButton>("cmdClose")->click();
        QVERIFY(!window->isVisible());
        QCOMPARE(window->result(), int(QDialog::Rejected));
        QCOMPARE(settings.ServerPort, port);
        QCOMPARE(settings.DocumentRoot, StartRoot);
        QVERIFY(server.restarts.isEmpty());
        QVERIFY(server.roots.isEmpty());
    }
};

QTEST_MAIN(TestFrmOpts)
#include "tst_frmopts.moc"
