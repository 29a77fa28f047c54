#pragma once

#include "common/EventSink.h"

#include <QStringList>

namespace vanterel::testing {

// Collects what the program would show in its list and write to Log.txt.
class RecordingLog final : public EventSink {
public:
    void AddMsg(const QString &text) override { messages.append(text); }
    void WriteLogLine(const QString &text) override { logLines.append(text); }

    QStringList messages;
    QStringList logLines;
};

} // namespace vanterel::testing
