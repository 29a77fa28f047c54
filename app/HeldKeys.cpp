#include "app/HeldKeys.h"

#include <QFile>

namespace vanterel::app {

bool WriteHeldKeys(const QString &path, const std::vector<std::int32_t> &keyCodes)
{
    if (keyCodes.empty())
        return QFile::remove(path) || !QFile::exists(path);
    QByteArray line;
    for (const std::int32_t code : keyCodes) {
        if (!line.isEmpty())
            line += ' ';
        line += QByteArray::number(code);
    }
    line += "\r\n";
    // Written in place: a crash in the middle leaves a shorter list, which
    // still names the keys it holds.
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(line) == line.size()
        && file.flush();
}

std::vector<std::int32_t> ReadHeldKeys(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    std::vector<std::int32_t> codes;
    for (const QByteArray &field : file.read(4096).simplified().split(' ')) {
        bool ok = false;
        const int code = field.toInt(&ok);
        if (ok && code > 0 && code < 256)
            codes.push_back(code);
    }
    return codes;
}

} // namespace vanterel::app
