// Replacing a file whole where the Unix calls are missing (Windows).
#include "config/ReplaceFile.h"

#include <QTemporaryFile>

#include <filesystem>
#include <system_error>

namespace vanterel::config {

QString ReplaceFile(const QString &path, const QByteArray &bytes)
{
    // A save cut short leaves this file behind; its name says whose it is.
    QTemporaryFile file(path + QLatin1String(SaveTemporaryInfix) + QStringLiteral("XXXXXX"));
    if (!file.open())
        return file.errorString();
    if (file.write(bytes) != bytes.size() || !file.flush())
        return file.errorString();
    file.close();
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(file.fileName().toStdU16String()),
                            std::filesystem::path(path.toStdU16String()), error);
    if (error)
        return QString::fromStdString(error.message());
    file.setAutoRemove(false);
    return {};
}

} // namespace vanterel::config
