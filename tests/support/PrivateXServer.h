#pragma once

// A private X server for tests that press keys, never the developer's own
// display: Xvfb on a display number that it picks and reports itself, so that
// parallel runs never collide, and that ends with the test, even one that crashed.

#include <QProcess>
#include <QStandardPaths>

#include <signal.h>
#include <sys/prctl.h>

namespace vanterel::inject::test {

class PrivateXServer {
public:
    ~PrivateXServer()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }

    // Empty when the server is up, else why not.
    QString start()
    {
        using namespace Qt::StringLiterals;
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start(QStandardPaths::findExecutable(u"Xvfb"_s),
                        {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s, u"-noreset"_s, u"-screen"_s,
                         u"0"_s, u"320x240x24"_s});
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) { }
        m_display = ':' + m_process.readLine().trimmed();
        return m_display.size() > 1
            ? QString()
            : u"Xvfb did not start: "_s + QString::fromLocal8Bit(m_process.readAllStandardError());
    }

    QByteArray display() const { return m_display; }

private:
    QProcess m_process;
    QByteArray m_display;
};

} // namespace vanterel::inject::test
