#pragma once

#include <QtGlobal>

namespace vanterel::app {

// The most descriptors the program can put to use: every connection slot
// holds at most two (its socket and the file it sends), there are at most
// 32767 slots, and the rest is the program's own.
inline constexpr qint64 OpenFilesWanted = 2 * 32767 + 256;

// Lifts the soft limit on open files to the hard limit (no higher than
// OpenFilesWanted, and never lower than it was). Desktop sessions often start
// programs with a soft limit of 1024, which a few hundred connections left
// open would use up; the hard limit is what the administrator allows.
// Returns the soft limit now in force, or -1 where the system has none.
qint64 RaiseOpenFileLimit();

} // namespace vanterel::app
