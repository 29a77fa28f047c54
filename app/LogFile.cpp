#include "app/LogFile.h"

namespace vanterel::app {

bool LogFile::open(const QString &path)
{
    close();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = m_file.errorString();
        return false;
    }
    m_error.clear();
    return true;
}

void LogFile::writeLine(const QString &text)
{
    if (!m_file.isOpen())
        return;
    m_pending += text.toLocal8Bit();
    m_pending.append("\r\n", 2);
    if (m_pending.size() >= qsizetype{64} * 1024)
        flush();
}

void LogFile::flush()
{
    // A trace is read while the program runs (and after it crashes): what
    // has gathered goes to the system at once, not at some later buffer fill.
    if (m_pending.isEmpty() || !m_file.isOpen())
        return;
    m_file.write(m_pending);
    m_file.flush();
    m_pending.clear();
}

void LogFile::close()
{
    flush();
    if (m_file.isOpen())
        m_file.close();
}

} // namespace vanterel::app
