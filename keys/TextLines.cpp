#include "keys/TextLines.h"

#include <QFile>

namespace vanterel::keys {

bool ReadTextFile(const QString &path, QString &text, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = file.errorString();
        return false;
    }
    // Editors on other systems like to start UTF-8 files with a byte order
    // mark; it is no part of the first line. Removed here because not every
    // local decoder drops it by itself.
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    text = QString::fromLocal8Bit(bytes);
    return true;
}

QList<QStringView> SplitLines(QStringView text)
{
    QList<QStringView> lines;
    const qsizetype n = text.size();
    qsizetype start = 0;
    while (start < n) {
        qsizetype end = start;
        while (end < n && text[end] != u'\r' && text[end] != u'\n')
            ++end;
        lines.append(text.sliced(start, end - start));
        if (end + 1 < n && text[end] == u'\r' && text[end + 1] == u'\n')
            start = end + 2;
        else
            start = end + 1;
    }
    return lines;
}

QStringView StripBlanks(QStringView line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && line[begin] == u' ')
        ++begin;
    while (end > begin && line[end - 1] == u' ')
        --end;
    return line.sliced(begin, end - begin);
}

bool IsCommentOrEmpty(QStringView strippedLine)
{
    return strippedLine.isEmpty() || strippedLine.startsWith(u"//") || strippedLine.startsWith(u'#');
}

} // namespace vanterel::keys
