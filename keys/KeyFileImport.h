#pragma once

#include "keys/KeyBindings.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace vanterel::keys {

// Why an import stopped. The options window shows it as
// "An error occured: Error #" + number + ". " + description.
struct ImportError {
    static constexpr int Overflow = 6;      // a number does not fit in 32 bits
    static constexpr int FileNotFound = 53; // nothing at the path
    static constexpr int FileAccess = 75;   // there, but cannot be opened or read

    int number = 0;
    QString description;
};

// Replaces the whole table by the bindings of a target application key file.
// The table is emptied before the file is opened, so a file that cannot be read
// leaves it empty. Returns the error that ended the import, if one did; the
// bindings read before it stay (see AppendKeyFileLines). The file is closed
// before this returns.
std::optional<ImportError> ImportKeyFile(const QString &path, KeyBindings &bindings);

// Gives each binding of `imported` the hold of its own that the first
// binding of the same name (found as KeyBindings::find does) has in `current`.
// A key file knows nothing of holds: without this, importing the file again
// would lose every hold the user set in keys.dat.
void KeepOwnHolds(const KeyBindings &current, KeyBindings &imported);

// Appends one binding per accepted line of key-file text. A line is accepted
// when it has at least seven columns (split at runs of blanks and tabs), its
// third column is the text "0" and its fourth is not the text "0". The columns
// give, in this order of writing: Callback (column 1, upper-cased), SecondKey
// (4, hex), SecondModifiers (5, decimal), FirstKey (6, hex), FirstModifiers (7,
// decimal).
//
// Hex key codes: an optional "0x"/"0X", then the hex digits up to the first
// other character, as 32-bit two's complement (FFFFFFFF is -1); no digit reads
// 0. Leading zeros do not count, but a value above FFFFFFFF is an overflow
// error like a mask's: silently keeping some of its bits would bind a key
// nobody wrote, while an error tells the user which line to look at.
// Masks: an optional sign and the decimal digits up to the first other
// character; no digit reads 0; a value outside the 32-bit signed range is an
// overflow error.
//
// An overflow ends the reading at that line. The binding begun for it stays,
// with the fields written before the failing one and the rest 0.
std::optional<ImportError> AppendKeyFileLines(QStringView text, KeyBindings &bindings);

} // namespace vanterel::keys
