#pragma once

#include <QFile>
#include <QString>

namespace vanterel::app {

// Log.txt: created or emptied at every start, one CR LF line per trace line,
// in the locale's 8-bit encoding. Lines are gathered and written in one call
// by flush(), or when enough have gathered.
class LogFile {
public:
    // Creates or empties the file. On failure returns false and error() says why.
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    QString error() const { return m_error; }
    void writeLine(const QString &text);
    void flush();
    void close();

private:
    QFile m_file;
    QByteArray m_pending;
    QString m_error;
};

} // namespace vanterel::app
