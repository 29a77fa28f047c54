#pragma once

#include <QFile>
#include <QString>

namespace vanterel::app {

// Log.txt: created or emptied at every start, one CR LF line per trace line,
// in the locale's 8-bit encoding.
class LogFile {
public:
    // Creates or empties the file. On failure returns false and error() says why.
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    QString error() const { return m_error; }
    void writeLine(const QString &text);
    void close();

private:
    QFile m_file;
    QString m_error;
};

} // namespace vanterel::app
