// The event log keeps the newest 100 lines under keys c1, c2, ... and shows the
// newest one selected and in view.
#include "app/EventLogModel.h"
#include "app/FrmMain.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using vanterel::app::EventLogModel;
using vanterel::app::FrmMain;

class TestEventLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void window_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("oldestKey");
        QTest::addRow("one line") << 1 << 1 << QStringLiteral("c1");
        QTest::addRow("the 100th line removes nothing") << 100 << 100 << QStringLiteral("c1");
        QTest::addRow("the 101st removes c1") << 101 << 100 << QStringLiteral("c2");
        QTest::addRow("250 lines keep 151 to 250") << 250 << 100 << QStringLiteral("c151");
    }

    void window()
    {
        QFETCH(int, lines);
        QFETCH(int, rows);
        QFETCH(QString, oldestKey);
        EventLogModel model;
        for (int i = 1; i <= lines; ++i)
            model.append(QStringLiteral("line %1").arg(i));
        QCOMPARE(model.MessageCount(), lines);
        QCOMPARE(model.rowCount(), rows);
        QCOMPARE(model.key(0), oldestKey);
        QCOMPARE(model.key(rows - 1), QStringLiteral("c%1").arg(lines));
        QCOMPARE(model.text(rows - 1), QStringLiteral("line %1").arg(lines));
        // Keys and rows agree all the way through.
        for (int row = 0; row < rows; ++row)
            QCOMPARE(model.rowOfKey(model.key(row)), row);
        QCOMPARE(model.rowOfKey(QStringLiteral("c%1").arg(lines - rows)), -1);
        QCOMPARE(model.rowOfKey(QStringLiteral("c%1").arg(lines + 1)), -1);
    }

    void rowOfKey_rejectsWhatIsNotAKey_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addRow("empty") << QString();
        QTest::addRow("no number") << QStringLiteral("c");
        QTest::addRow("another letter") << QStringLiteral("d1");
        QTest::addRow("trailing text") << QStringLiteral("c1x");
        QTest::addRow("huge") << QStringLiteral("c99999999999999999999");
    }

    void rowOfKey_rejectsWhatIsNotAKey()
    {
        QFETCH(QString, key);
        EventLogModel model;
        model.append(QStringLiteral("only"));
        QCOMPARE(model.rowOfKey(key), -1);
    }

    void newestLine_isSelectedAndScrolledIntoView()
    {
        QTemporaryDir dir;
        FrmMain window({dir.path(), {}});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *list = window.findChild<QTreeView *>(QStringLiteral("ListView1"));
        QVERIFY(list);
        for (int i = 1; i <= 250; ++i)
            window.AddMsg(QStringLiteral("line %1").arg(i));
        // What Send Key reads is right at once, before the view has caught up.
        QCOMPARE(window.SelectedLogText(), QStringLiteral("line 250"));
        QTRY_COMPARE(list->currentIndex().row(), 99);
        QCOMPARE(list->currentIndex().data().toString(), QStringLiteral("line 250"));
        QVERIFY(list->selectionModel()->isSelected(list->currentIndex()));
        QVERIFY(list->viewport()->rect().contains(list->visualRect(list->currentIndex())));
        QCOMPARE(window.SelectedLogText(), QStringLiteral("line 250"));
    }

    void aLineTheUserPicked_isWhatSendKeyReads()
    {
        QTemporaryDir dir;
        FrmMain window({dir.path(), {}});
        window.show();
        auto *list = window.findChild<QTreeView *>(QStringLiteral("ListView1"));
        for (int i = 1; i <= 5; ++i)
            window.AddMsg(QStringLiteral("line %1").arg(i));
        QTRY_COMPARE(list->currentIndex().row(), 4);
        list->setCurrentIndex(window.logModel().index(1, 0));
        QCOMPARE(window.SelectedLogText(), QStringLiteral("line 2"));
        list->selectionModel()->clearSelection();
        QCOMPARE(window.SelectedLogText(), QString());
    }
};

QTEST_MAIN(TestEventLog)
#include "test_eventlog.moc"
