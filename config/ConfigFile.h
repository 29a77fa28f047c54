#pragma once

#include "common/Settings.h"
#include "keys/KeyBindings.h"

#include <QString>

// keys.dat: the port, the document root and the key bindings, kept from one
// run to the next. One record a line, fields separated by the character of
// code 30:
//   PORT␞8080
//   FOLDER␞/srv/panel
//   SITES␞any      (only when pages of other sites may run commands)
//   HOSTS␞panel.home␞...           (names of this machine besides its own)
//   DEVICES␞only␞192.168.1.23␞...  ("only": only these devices press keys; "any": all do)
//   HOLD␞120       (how long a tap keeps its key down, in ms)
//   KEYFILE␞/path/to/keys.key      (the key file last imported, watched for changes)
//   key␞Callback␞SecondKey␞SecondModifiers␞FirstKey␞FirstModifiers[␞HoldMs]
// HOLD, KEYFILE and a binding's hold are written only when set, so that a
// file without them is saved as it was read.
namespace vanterel::config {

// The field separator of keys.dat (ASCII record separator).
inline constexpr char16_t FieldSeparator = 0x1E;

// Whether loading or saving worked, and if not, why (for the caller's log).
struct ConfigResult {
    bool ok = true;
    QString reason{};
    // Values a load ignored, one event-log line each.
    QStringList ignored{};
};

// True when a file (not a folder) exists at the path. One trailing separator
// is ignored; an empty path is no file.
bool FileExists(const QString &path);

// Sets the title and the port to their defaults, empties the table, then reads
// the file if there is one. The document root changes only through a FOLDER
// line. A missing file is no error; a file that is there but cannot be read
// leaves the defaults and says why.
//
// A hold (HOLD, a binding's seventh field) is a leading number as PORT's;
// one outside MinHoldMs to MaxHoldMs is ignored, said in `ignored`, and not
// written back: the default stands, and the user is told once, at start-up,
// rather than left to wonder why the taps did not change.
ConfigResult LoadConfig(const QString &path, Settings &settings, keys::KeyBindings &bindings);

// Replaces the file with the port, the document root and the bindings 1 to the
// upper bound, every line ending in CR LF. The file is replaced whole
// (ReplaceFile), so a save that fails leaves the old file as it was, and no
// other file beside it is touched.
//
// A callback or folder holding the separator, CR or LF would gain a field or
// a line on the way back in; each of those characters is written as a blank.
// Tabs and runs of blanks are kept, and come back as single blanks, as any
// line of the file does.
[[nodiscard]] ConfigResult SaveConfig(const QString &path, const Settings &settings,
                                      const keys::KeyBindings &bindings);

// Removes what saves of the file at path that were cut short left beside it:
// files named after it with the save's own infix and six letters
// ("keys.dat.vanterel-save-x7Rq2b"), and nothing else. Returns their names.
QStringList RemoveUnfinishedSaves(const QString &path);

} // namespace vanterel::config
