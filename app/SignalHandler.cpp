#include "app/SignalHandler.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vanterel::app {

namespace {
// The signal handler may only do async-signal-safe work: it writes the signal
// number into a socket pair whose other end the event loop watches.
int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    const auto ignored = ::write(g_signalPipe[0], &byte, 1);
    (void)ignored;
}

constexpr int HandledSignals[] = {SIGTERM, SIGINT, SIGHUP};
} // namespace

SignalHandler::SignalHandler(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalHandler::onReadable);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : HandledSignals)
        ::sigaction(number, &action, nullptr);
}

SignalHandler::~SignalHandler()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int number : HandledSignals)
        ::sigaction(number, &action, nullptr);
    for (int &fd : g_signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void SignalHandler::onReadable()
{
    unsigned char byte = 0;
    while (::read(g_signalPipe[1], &byte, 1) == 1)
        Q_EMIT terminationRequested(byte);
}

} // namespace vanterel::app
