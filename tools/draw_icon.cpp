// Draws the program's icon group "DEF" at every size it ships in.
// Run once after changing the drawing; the PNGs are committed:
//   cmake --build build --target draw_icon && build/tools/draw_icon common/icons
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

static QImage draw(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    // A tablet in landscape...
    QPainterPath body;
    body.addRoundedRect(QRectF(3, 10, 58, 44), 7, 7);
    p.fillPath(body, QColor(0x1f, 0x3b, 0x57));
    p.fillRect(QRectF(9, 15, 46, 34), QColor(0xe8, 0xf1, 0xf8));

    // ...whose screen shows two big buttons, the left one lit as if just tapped.
    QPainterPath left;
    left.addRoundedRect(QRectF(12, 19, 18, 26), 3, 3);
    p.fillPath(left, QColor(0xf2, 0x8c, 0x28));
    QPainterPath right;
    right.addRoundedRect(QRectF(34, 19, 18, 26), 3, 3);
    p.fillPath(right, QColor(0x3f, 0x8f, 0xd2));

    // A key cap on each button: the tap becomes a key press.
    p.setPen(QPen(QColor(255, 255, 255), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(17, 36), QPointF(21, 27));
    p.drawLine(QPointF(21, 27), QPointF(25, 36));
    p.drawLine(QPointF(39, 28), QPointF(47, 28));
    p.drawLine(QPointF(43, 28), QPointF(43, 37));
    return image;
}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    for (int size : {16, 32, 48, 64, 128}) {
        if (!draw(size)
                 .convertToFormat(QImage::Format_ARGB32)
                 .save(out.filePath(QStringLiteral("DEF-%1.png").arg(size))))
            return 1;
    }
    return 0;
}
