#pragma once

#include <QString>

namespace vanterel {

// The narrow window onto the program's two logs. The server writes through
// it and never sees the main window.
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

    // "<index><label><text>" to Log.txt, a connection's trace line. Built only
    // while someone reads it: most requests are served with logging off, and
    // each line would cost allocations.
    void traceLine(int index, QStringView label, const QString &text);
};

} // namespace vanterel
