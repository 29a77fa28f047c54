// How long the two bulk readers of key bindings take on large files: loading
// a keys.dat of many bindings (LoadConfig, at every start) and importing a
// key file of the target application (ImportKeyFile, from the options
// window). The files are generated with the shapes the readers meet: CR LF
// lines, field separators, blanks, hex codes with and without "0x".
//
//   configbench [--bindings 10000] [--lines 2000] [--runs 9]
//
// Prints one "key=value ..." line with the median and the fastest run of
// each, and the number of bindings each produced (a wrong count is an error).
#include "config/ConfigFile.h"
#include "keys/KeyFileImport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace vanterel;

namespace {

QByteArray keysDat(int bindings)
{
    QByteArray out = "PORT\x1e"
                     "8080\r\nFOLDER\x1e/srv/panel/htdocs\r\n";
    for (int i = 1; i <= bindings; ++i) {
        const int key = 2 + i % 80;
        out += "key\x1e"
               "COMMAND_"
            + QByteArray::number(i) + '\x1e' + QByteArray::number(key) + '\x1e' + QByteArray::number(i % 8)
            + '\x1e' + QByteArray::number(i % 3 == 0 ? 29 : 0) + '\x1e'
            + QByteArray::number(i % 3 == 0 ? 2 : 0) + "\r\n";
    }
    return out;
}

QByteArray keyFile(int lines)
{
    QByteArray out = "// exported key bindings\r\n";
    int written = 1;
    for (int i = 1; written < lines; ++i, ++written) {
        // Every tenth line a comment that the importer skips.
        if (i % 10 == 0) {
            out += "# group " + QByteArray::number(i / 10) + "\r\n";
            continue;
        }
        const QByteArray key = QByteArray::number(2 + i % 80, 16).toUpper();
        out += "Command" + QByteArray::number(i) + "\tx 0 " + (i % 2 ? "0x" + key : key) + "  "
            + QByteArray::number(i % 8) + ' ' + (i % 3 == 0 ? "1D" : "0") + ' '
            + QByteArray::number(i % 3 == 0 ? 2 : 0) + "\r\n";
    }
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

struct Timing {
    double medianMs = 0;
    double minMs = 0;
};

template <typename Run> Timing timeRuns(int runs, Run run)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front()};
}

int option(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], name) == 0)
            return QByteArray(argv[i + 1]).toInt();
    return fallback;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int bindingCount = option(argc, argv, "--bindings", 10000);
    const int lineCount = option(argc, argv, "--lines", 2000);
    const int runs = std::max(1, option(argc, argv, "--runs", 9));

    QTemporaryDir dir;
    const QString datPath = dir.filePath(QStringLiteral("keys.dat"));
    const QString keyPath = dir.filePath(QStringLiteral("panel.key"));
    if (!dir.isValid() || !writeFile(datPath, keysDat(bindingCount))
        || !writeFile(keyPath, keyFile(lineCount))) {
        std::fprintf(stderr, "configbench: cannot write the generated files\n");
        return 2;
    }
    const int expectedImported = lineCount - 1 - (lineCount - 1) / 10;

    int loaded = 0;
    bool loadOk = true;
    const Timing load = timeRuns(runs, [&] {
        Settings settings;
        keys::KeyBindings bindings;
        loadOk = config::LoadConfig(datPath, settings, bindings).ok && loadOk;
        loaded = bindings.upperBound();
    });

    int imported = 0;
    bool importOk = true;
    const Timing import = timeRuns(runs, [&] {
        keys::KeyBindings bindings;
        importOk = !keys::ImportKeyFile(keyPath, bindings).has_value() && importOk;
        imported = bindings.upperBound();
    });

    const int errors = int(!loadOk || loaded != bindingCount)
        + int(!importOk || imported < expectedImported - 1 || imported > expectedImported + 1);
    std::printf("bindings=%d loaded=%d load_median_ms=%.3f load_min_ms=%.3f lines=%d imported=%d"
                " import_median_ms=%.3f import_min_ms=%.3f runs=%d errors=%d\n",
                bindingCount, loaded, load.medianMs, load.minMs, lineCount, imported, import.medianMs,
                import.minMs, runs, errors);
    return errors == 0 ? 0 : 1;
}
