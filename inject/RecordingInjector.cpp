#include "inject/RecordingInjector.h"

namespace vanterel::inject {

QString RecordingInjector::name() const { return QStringLiteral("recording"); }

void RecordingInjector::PressCombo(qint32 keyCode, qint32 alt, qint32 ctrl, qint32 shift,
                                   WindowHandle window)
{
    calls.append(Call{keyCode, alt, ctrl, shift, window});
}

WindowHandle RecordingInjector::FindWindow(const QString &title)
{
    lookUps.append(title);
    return m_windows.value(title.toCaseFolded(), 0);
}

void RecordingInjector::shutdown() { shutDown = true; }

void RecordingInjector::addWindow(const QString &title, WindowHandle handle)
{
    m_windows.insert(title.toCaseFolded(), handle);
}

} // namespace vanterel::inject
