#pragma once

#include <QByteArray>
#include <QString>

namespace vanterel::config {

// What a save puts between the file's name and six random letters when its
// new content needs a name of its own before it takes the file's place
// ("keys.dat.vanterel-save-x7Rq2b"). No other file beside the target is ever
// created, changed or removed.
inline constexpr char SaveTemporaryInfix[] = ".vanterel-save-";

// Replaces the file at the path with the bytes, whole or not at all: the new
// content is written and flushed to disk apart from the old file, then takes
// its name in one step, so that a failure or a crash at any moment leaves the
// old file as it was. The new file keeps the old one's permissions; through a
// symbolic link, the file it points to is replaced. Returns why it failed, or
// an empty string.
QString ReplaceFile(const QString &path, const QByteArray &bytes);

} // namespace vanterel::config
