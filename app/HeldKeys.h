#pragma once

#include <QString>

#include <cstdint>
#include <vector>

// The keys that holds keep down, in a small file beside keys.dat for as long
// as any is down. A program that dies while it holds a key (killed, crashed,
// the power cut) cannot let it go, and the X server keeps a key that a client
// pressed down after the client is gone; the next start reads the file and
// lets those keys go. (A uinput keyboard needs no help: the kernel releases
// the keys of a virtual device when its program ends.)
namespace vanterel::app {

// The file's name in the data folder.
inline constexpr char HeldKeysFileName[] = "held-keys.txt";

// Writes the key codes, one line of decimal numbers; removes the file when
// there are none. Returns false when the file could not be written or removed.
bool WriteHeldKeys(const QString &path, const std::vector<std::int32_t> &keyCodes);

// The key codes of the file; none when there is no file. Anything that is not
// a number from 1 to 255 is skipped: a file cut short by a crash still gives
// the codes it holds.
std::vector<std::int32_t> ReadHeldKeys(const QString &path);

} // namespace vanterel::app
