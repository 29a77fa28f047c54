// How many event-log lines a second the main window takes while it is on
// screen, against a reference: the same window layout with a per-item list
// widget that selects and scrolls to every new line. One line per turn of the
// event loop, as when every response of a busy server logs one line.
//
//   bench/eventlog_bench [lines [ours]]
#include "app/FrmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTemporaryDir>

#include <cstdio>

namespace {

double referenceRate(int lines)
{
    QWidget window;
    window.setFixedSize(410, 195);
    QListWidget list(&window);
    list.setGeometry(0, 24, 409, 169);
    window.show();
    QElapsedTimer timer;
    timer.start();
    for (int i = 1; i <= lines; ++i) {
        if (list.count() >= 100)
            delete list.takeItem(0);
        auto *item = new QListWidgetItem(QStringLiteral("Transfering: /index.htm %1").arg(i), &list);
        list.setCurrentItem(item);
        list.scrollToItem(item);
        QCoreApplication::processEvents();
    }
    return lines / (timer.nsecsElapsed() / 1e9);
}

double ourRate(int lines)
{
    QTemporaryDir dir;
    vanterel::app::FrmMain window({dir.path(), {}});
    window.show();
    QElapsedTimer timer;
    timer.start();
    for (int i = 1; i <= lines; ++i) {
        window.AddMsg(QStringLiteral("Transfering: /index.htm %1").arg(i));
        QCoreApplication::processEvents();
    }
    return lines / (timer.nsecsElapsed() / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int lines = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;
    // "ours" skips the reference, for profiling the window alone.
    const bool oursOnly = argc > 2 && QByteArray(argv[2]) == "ours";
    const double reference = oursOnly ? 1.0 : referenceRate(lines);
    const double ours = ourRate(lines);
    std::printf("event log, %d lines, one per event-loop turn\n", lines);
    std::printf("  per-item list widget (reference): %10.0f lines/s\n", reference);
    std::printf("  FrmMain::AddMsg                 : %10.0f lines/s  (%.1fx the reference)\n", ours,
                ours / reference);
    return 0;
}
