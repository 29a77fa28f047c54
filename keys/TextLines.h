#pragma once

#include <QList>
#include <QString>
#include <QStringView>

// Reading the program's line-based text files (keys.dat and key files): 8-bit
// text in the local encoding, lines ending in CR LF, a lone CR or a lone LF.
namespace vanterel::keys {

// Reads and decodes the whole file. A leading UTF-8 byte order mark is dropped;
// a byte that is not valid in the local encoding becomes one replacement
// character and never takes the byte after it along, so a column stays a
// column. Returns false with the reason when the file cannot be opened or read.
bool ReadTextFile(const QString &path, QString &text, QString &error);

// The lines of a text, without their ends. The last line needs no end, and an
// end after it does not make an extra empty line.
QList<QStringView> SplitLines(QStringView text);

// The line without leading and trailing spaces (tabs stay).
QStringView StripBlanks(QStringView line);

// A stripped line that is empty or begins with "//" or "#".
bool IsCommentOrEmpty(QStringView strippedLine);

} // namespace vanterel::keys
