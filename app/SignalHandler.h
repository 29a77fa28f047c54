#pragma once

#include <QObject>

class QSocketNotifier;

namespace vanterel::app {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the user-interface
// thread, so that a service manager or Ctrl+C ends the program through the
// same shut-down as closing its window. One instance per process.
class SignalHandler final : public QObject {
    Q_OBJECT

public:
    explicit SignalHandler(QObject *parent = nullptr);
    ~SignalHandler() override;

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    void onReadable();
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace vanterel::app
