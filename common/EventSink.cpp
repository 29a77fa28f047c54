#include "common/EventSink.h"

namespace vanterel {
EventSink::~EventSink() = default;

void EventSink::traceLine(int index, QStringView label, const QString &text)
{
    if (!LogEnabled())
        return;
    QString line = QString::number(index);
    line += label;
    line += text;
    WriteLogLine(line);
}

} // namespace vanterel
