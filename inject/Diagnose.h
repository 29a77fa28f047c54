#pragma once

#include <string>
#include <string_view>

namespace vanterel::inject {

// Hands one warning line to the diagnostics function the program set.
void Warn(std::string_view line);

// "0x1f": a window handle as the warnings print it.
std::string HexText(unsigned long long value);

} // namespace vanterel::inject
