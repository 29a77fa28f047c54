#pragma once

#include <QObject>

class QSocketNotifier;

namespace vanterel::app {

// Turns a request from outside to end the program into a Qt signal on the
// user-interface thread, so that it ends through the same shut-down as
// closing its window. One instance per process.
//   Linux: SIGTERM, SIGINT and SIGHUP (a service manager, Ctrl+C, a closed
//          terminal); the signal's number is passed on.
//   Windows: the console's events (Ctrl+C, Ctrl+Break, the console closed,
//          log-off, shut-down); the event's number is passed on, and for the
//          last three Windows waits until the slots connected have returned.
//          Log-off and shut-down reach a program without a console as
//          QCoreApplication::aboutToQuit instead.
class SignalHandler final : public QObject {
    Q_OBJECT

public:
    explicit SignalHandler(QObject *parent = nullptr);
    ~SignalHandler() override;

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
#ifndef Q_OS_WIN
    void onReadable();
    QSocketNotifier *m_notifier = nullptr;
#endif
};

} // namespace vanterel::app
