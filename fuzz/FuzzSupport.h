#pragma once

// Small helpers shared by the fuzz targets.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vanterel::fuzz {

// A broken rule ends the run with what was broken; libFuzzer keeps the input
// that did it. Values go to stderr as they are, to make the report readable.
[[noreturn]] inline void fail(const char *rule, const QString &detail = {})
{
    std::fprintf(stderr, "\n*** broken rule: %s\n", rule);
    if (!detail.isEmpty())
        std::fprintf(stderr, "*** %s\n", detail.toUtf8().constData());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool holds, const char *rule, const QString &detail = {})
{
    if (!holds)
        fail(rule, detail);
}

// The fuzz bytes as QByteArray (deep copy: libFuzzer's buffer is only lent).
inline QByteArray bytesOf(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

// A scratch folder for the whole run, removed when the run ends normally.
// Below TMPDIR when it is set (scripts/fuzz.sh points it at a folder it
// removes itself, also after a crash), otherwise in memory when the machine
// offers it: the config saver syncs its file to disk, which costs
// milliseconds per input on a real disk and nothing on tmpfs.
inline QTemporaryDir &scratchFolder()
{
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        const QFileInfo shm(QStringLiteral("/dev/shm"));
        const bool inMemory = !qEnvironmentVariableIsSet("TMPDIR") && shm.isDir() && shm.isWritable();
        const QString base = inMemory ? shm.filePath() : QDir::tempPath();
        auto made = std::make_unique<QTemporaryDir>(base + QStringLiteral("/vanterel-fuzz-XXXXXX"));
        check(made->isValid(), "the scratch folder can be made", made->errorString());
        return made;
    }();
    return *dir;
}

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(),
          "the fuzz input can be written to a file", path);
}

} // namespace vanterel::fuzz
