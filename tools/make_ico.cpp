// Packs the program's icon group "DEF" for the Windows resource file from our
// own PNGs: 128, 64, 48, 32 and 16 pixels, each a 24-bit image with its
// transparency mask. Run once after the PNGs change; the .ico is committed:
//   cmake --build build --target make_ico && build/tools/make_ico common/icons app/DEF.ico
#include <QColor>
#include <QFile>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>

namespace {

void put16(QByteArray &out, int value)
{
    out.append(char(value & 0xFF)).append(char((value >> 8) & 0xFF));
}

void put32(QByteArray &out, int value)
{
    put16(out, value & 0xFFFF);
    put16(out, (value >> 16) & 0xFFFF);
}

// A DIB as icons keep it: header with twice the height, colour rows bottom
// up, then the 1-bit mask rows (1 = transparent), rows padded to 4 bytes.
QByteArray iconImage(const QImage &png)
{
    const QImage image = png.convertToFormat(QImage::Format_ARGB32);
    const int size = image.width();
    const int colourRow = (size * 3 + 3) / 4 * 4;
    const int maskRow = ((size + 31) / 32) * 4;
    QByteArray out;
    put32(out, 40);
    put32(out, size);
    put32(out, size * 2);
    put16(out, 1);
    put16(out, 24);
    put32(out, 0);
    put32(out, (colourRow + maskRow) * size);
    for (int i = 0; i < 4; ++i)
        put32(out, 0);

    // Half-transparent edge pixels are laid over the usual window grey.
    const QColor behind(0xF0, 0xF0, 0xF0);
    QByteArray mask;
    for (int y = size - 1; y >= 0; --y) {
        QByteArray row(colourRow, '\0');
        QByteArray maskBits(maskRow, '\0');
        for (int x = 0; x < size; ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            const int a = c.alpha();
            if (a < 128) {
                maskBits[x / 8] = char(maskBits[x / 8] | (0x80 >> (x % 8)));
                continue;
            }
            const auto blend = [a](int fore, int back) { return char((fore * a + back * (255 - a)) / 255); };
            row[x * 3] = blend(c.blue(), behind.blue());
            row[x * 3 + 1] = blend(c.green(), behind.green());
            row[x * 3 + 2] = blend(c.red(), behind.red());
        }
        out += row;
        mask += maskBits;
    }
    return out + mask;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_ico ICON-FOLDER OUTPUT.ico\n");
        return 2;
    }
    const int sizes[] = {128, 64, 48, 32, 16};
    QList<QByteArray> images;
    for (const int size : sizes) {
        const QImage png(QStringLiteral("%1/DEF-%2.png").arg(QString::fromLocal8Bit(argv[1])).arg(size));
        if (png.isNull() || png.width() != size || png.height() != size) {
            std::fprintf(stderr, "make_ico: no %dx%d DEF-%d.png in %s\n", size, size, size, argv[1]);
            return 1;
        }
        images.append(iconImage(png));
    }

    QByteArray ico;
    put16(ico, 0);
    put16(ico, 1); // an icon
    put16(ico, int(images.size()));
    int offset = 6 + 16 * int(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        ico.append(char(sizes[i])).append(char(sizes[i])).append('\0').append('\0');
        put16(ico, 1);
        put16(ico, 24);
        put32(ico, int(images[i].size()));
        put32(ico, offset);
        offset += int(images[i].size());
    }
    for (const QByteArray &image : images)
        ico += image;

    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly) || out.write(ico) != ico.size())
        return 1;
    return 0;
}
