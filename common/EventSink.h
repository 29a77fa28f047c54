#pragma once

#include <QString>

namespace vanterel {

// The narrow window onto the program's two logs. The server and the key
// commands write through it and never see the main window.
class EventSink {
public:
    virtual ~EventSink();
    // A status line for the main window's list (and standard error).
    virtual void AddMsg(const QString &text) = 0;
    // A trace line for Log.txt, written only while logging is switched on.
    virtual void WriteLogLine(const QString &text) = 0;
    // Whether WriteLogLine writes anything now: callers skip building lines
    // nobody reads.
    virtual bool LogEnabled() const { return true; }
};

} // namespace vanterel
