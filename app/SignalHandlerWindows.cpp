#include "app/SignalHandler.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <windows.h>

namespace vanterel::app {

namespace {
std::atomic<SignalHandler *> g_instance{nullptr};

// Windows calls this on a thread of its own. Ctrl+C and Ctrl+Break may be
// answered later, but after a close, log-off or shut-down event the process
// ends as soon as the handler returns (or after a few seconds at the latest):
// so the shut-down runs on the user-interface thread while this one waits.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    SignalHandler *instance = g_instance.load();
    if (!instance)
        return FALSE;
    const auto request
        = [instance, event] { Q_EMIT instance->terminationRequested(static_cast<int>(event)); };
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        QMetaObject::invokeMethod(instance, request, Qt::QueuedConnection);
    else
        QMetaObject::invokeMethod(instance, request, Qt::BlockingQueuedConnection);
    return TRUE;
}
} // namespace

SignalHandler::SignalHandler(QObject *parent)
    : QObject(parent)
{
    g_instance.store(this);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

SignalHandler::~SignalHandler()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    g_instance.store(nullptr);
}

} // namespace vanterel::app
