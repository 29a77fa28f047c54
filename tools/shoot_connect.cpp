// Takes the README's picture of the connect window: the main window and the
// connect window as a real X server shows them, side by side.
//   cmake --build build --target shoot_connect
//   xvfb-run -a -s "-screen 0 1280x900x24" build/tools/shoot_connect docs/connect.png
//   zbarimg docs/connect.png      # the code must read back as the URL beside it
#include "app/FrmMain.h"

#include <QApplication>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    if (argc != 2 || qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "usage: shoot_connect OUTPUT.png   (on an X server, e.g. under xvfb-run)\n");
        return 2;
    }
    QApplication app(argc, argv);

    // The program in a folder of its own, on port 8080 unless that is taken.
    QTemporaryDir folder;
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 8080))
        probe.listen(QHostAddress::Any, 0);
    const QByteArray port = QByteArray::number(probe.serverPort());
    probe.close();
    QFile keys(folder.filePath(u"keys.dat"_s));
    if (!keys.open(QIODevice::WriteOnly) || keys.write("PORT\x1e" + port + "\r\n") < 0)
        return 1;
    keys.close();

    vanterel::app::FrmMain window({folder.path(), {}, nullptr});
    window.Load();
    window.move(0, 0);
    window.show();
    window.findChild<QPushButton *>(u"cmdConnect"_s)->click();
    auto *connect = window.findChild<QWidget *>(u"FrmConnect"_s);
    connect->move(window.width() + 20, 0);
    while (!window.windowHandle()->isExposed() || !connect->windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    // The event log repaints once a frame; give it a few to settle.
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();

    // Each window as the X server has it, on a plain page.
    QScreen *screen = window.screen();
    const QPixmap main = screen->grabWindow(window.winId());
    const QPixmap codes = screen->grabWindow(connect->winId());
    const int margin = 16;
    QImage page(main.width() + codes.width() + 3 * margin,
                std::max(main.height(), codes.height()) + 2 * margin, QImage::Format_RGB32);
    page.fill(QColor(0xd8, 0xdd, 0xe3));
    QPainter painter(&page);
    painter.drawPixmap(margin, margin, main);
    painter.drawPixmap(main.width() + 2 * margin, margin, codes);
    painter.end();
    window.close();
    return page.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
