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
    QByteArray line = text.toLocal8Bit();
    line.append("\r\n", 2);
    m_file.write(line);
    // A trace is read while the program runs (and after it crashes): every
    // line goes to the system as it is written.
    m_file.flush();
}

void LogFile::close()
{
    if (m_file.isOpen())
        m_file.close();
}

} // namespace vanterel::app
