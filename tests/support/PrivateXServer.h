#pragma once

// A private X server for tests that press keys: never the developer's own
// display, where the keys would land in real windows.

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace vanterel::inject::test {

using namespace Qt::StringLiterals;

// Xvfb on a display number it picks itself (-displayfd), so that parallel
// runs never collide; it writes the number once it accepts clients.
class PrivateXServer {
public:
    ~PrivateXServer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Empty when the server is up, else why not.
    QString start()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return u"cannot make a pipe for Xvfb"_s;
        const int writeEnd = fds[1];
        m_process.setProgram(QStandardPaths::findExecutable(u"Xvfb"_s));
        m_process.setArguments({u"-displayfd"_s, QString::number(writeEnd), u"-nolisten"_s,
                                u"tcp"_s, u"-noreset"_s, u"-screen"_s, u"0"_s, u"320x240x24"_s});
        // The write end must survive the exec; every other descriptor of ours
        // stays close-on-exec. Should the test crash, the server goes with it.
        m_process.setChildProcessModifier([writeEnd] {
            ::fcntl(writeEnd, F_SETFD, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        });
        m_process.start();
        ::close(writeEnd);

        QByteArray number;
        pollfd readable{fds[0], POLLIN, 0};
        char c = 0;
        while (::poll(&readable, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        if (number.isEmpty())
            return u"Xvfb did not start: "_s + QString::fromLocal8Bit(m_process.readAllStandardError());
        m_display = ':' + number;
        return {};
    }

    QByteArray display() const { return m_display; }

private:
    QProcess m_process;
    QByteArray m_display;
};

} // namespace vanterel::inject::test
