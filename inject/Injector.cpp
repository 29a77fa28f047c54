#include "inject/Injector.h"

#include "inject/Diagnose.h"
#include "inject/KeySink.h"

#include <cstdio>
#include <mutex>

namespace vanterel::inject {

namespace {

std::mutex diagnosticsMutex;
Diagnostics diagnosticsSink; // guarded by diagnosticsMutex

} // namespace

void SetDiagnostics(Diagnostics diagnostics)
{
    std::lock_guard lock(diagnosticsMutex);
    diagnosticsSink = std::move(diagnostics);
}

void Warn(std::string_view line)
{
    // Called under the lock, so that lines from two threads never interleave
    // and a sink being replaced is never called half-way.
    std::lock_guard lock(diagnosticsMutex);
    if (diagnosticsSink)
        diagnosticsSink(line);
    else
        std::fprintf(stderr, "vanterel.inject: %.*s\n", static_cast<int>(line.size()), line.data());
}

std::string HexText(unsigned long long value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

Injector::~Injector() = default;
KeySink::~KeySink() = default;

} // namespace vanterel::inject
