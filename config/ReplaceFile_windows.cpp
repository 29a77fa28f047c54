// Replacing a file whole on Windows.
#include "config/ReplaceFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <string>
#include <system_error>
#include <utility>
#include <windows.h>
// windows.h names ReplaceFileW so too; ours is the function of ReplaceFile.h.
#undef ReplaceFile

namespace vanterel::config {

namespace {

// A handle that is closed however the save ends.
struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle()
    {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
};

QString describe(const QString &what, DWORD error)
{
    return what + QStringLiteral(": ") + QString::fromStdString(std::system_category().message(int(error)));
}

QString temporaryName(const QString &target)
{
    static constexpr char Letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString name = target + QLatin1String(SaveTemporaryInfix);
    for (int i = 0; i < 6; ++i)
        name += QLatin1Char(Letters[QRandomGenerator::system()->bounded(int(sizeof Letters - 1))]);
    return name;
}

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

} // namespace

QString ReplaceFile(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    const QString target = info.isSymLink() ? info.symLinkTarget() : path;
    const QString folderName = QFileInfo(target).absolutePath();

    // Write-through: the bytes are on disk when the handle is closed, before
    // the new file takes the old one's name.
    Handle file;
    QString named;
    while (file.h == INVALID_HANDLE_VALUE) {
        named = temporaryName(target);
        file.h = ::CreateFileW(native(named).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
        const DWORD error = ::GetLastError();
        if (file.h == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return describe(QStringLiteral("cannot create a file in ") + folderName, error);
    }

    // Only the temporary this call made is ever removed.
    const auto fail = [&named, &file](const char *what) {
        const DWORD error = ::GetLastError();
        if (file.h != INVALID_HANDLE_VALUE)
            ::CloseHandle(std::exchange(file.h, INVALID_HANDLE_VALUE));
        ::DeleteFileW(native(named).c_str());
        return describe(QString::fromLatin1(what), error);
    };
    const char *next = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = DWORD(qMin<qsizetype>(left, 1 << 30));
        if (!::WriteFile(file.h, next, chunk, &written, nullptr) || written == 0)
            return fail("writing");
        next += written;
        left -= written;
    }
    if (!::FlushFileBuffers(file.h))
        return fail("flushing to disk");
    ::CloseHandle(std::exchange(file.h, INVALID_HANDLE_VALUE));

    // ReplaceFileW keeps the old file's attributes and access rights on the
    // new one. Where it cannot (no old file, a file system without support),
    // a rename that is written through does the same job without them.
    if (::ReplaceFileW(native(target).c_str(), native(named).c_str(), nullptr,
                       REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
        return {};
    if (!::MoveFileExW(native(named).c_str(), native(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail("cannot replace the old file");
    return {};
}

} // namespace vanterel::config
