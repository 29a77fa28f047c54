#pragma once

#include "inject/Injector.h"

#include <QList>
#include <QMap>

namespace vanterel::inject {

// Backend for tests: remembers every call in order and presses nothing.
class RecordingInjector final : public Injector {
public:
    struct Call {
        qint32 keyCode;
        qint32 alt;
        qint32 ctrl;
        qint32 shift;
        WindowHandle window;
        friend bool operator==(const Call &, const Call &) = default;
    };

    QString name() const override;
    void PressCombo(qint32 keyCode, qint32 alt, qint32 ctrl, qint32 shift,
                    WindowHandle window) override;
    WindowHandle FindWindow(const QString &title) override;
    void shutdown() override;

    // Windows the look-up can find: title (compared without regard to case) to handle.
    void addWindow(const QString &title, WindowHandle handle);

    QList<Call> calls;
    QStringList lookUps;
    bool shutDown = false;

private:
    QMap<QString, WindowHandle> m_windows;
};

} // namespace vanterel::inject
