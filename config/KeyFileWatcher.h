#pragma once

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

namespace vanterel::config {

// Watches the key file that the bindings were imported from, and says when it
// has changed and then stayed unchanged for SettleTime, so that it is read
// once, whole, after a writer is done with it. Lives on the user-interface
// thread, like the file-system watcher inside it, and never blocks it.
//
// Simulators and editors often save by writing a new file and renaming it
// over the old one. A watch on the file follows the old file, which is then
// gone, so the file's folder is watched as well, and the file is watched
// afresh whenever it changes: a replacement, and a file that disappears and
// comes back, are seen like a change in place.
class KeyFileWatcher final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds SettleTime{500};

    explicit KeyFileWatcher(QObject *parent = nullptr);

    // Watches the file at path instead of the one before; an empty path
    // watches nothing. A change already waiting to settle is dropped.
    void watch(const QString &path);
    QString path() const { return m_path; }

Q_SIGNALS:
    // The file changed (or went, or came back) and has stayed so for SettleTime.
    void settled();

private:
    // What tells this file's versions apart without reading it. The folder's
    // changes include those of every other file in it.
    struct Stamp {
        bool exists = false;
        qint64 size = 0;
        QDateTime modified;
        QDateTime changed; // its metadata: a file renamed into place has new ones
        friend bool operator==(const Stamp &, const Stamp &) = default;
    };
    Stamp stampNow() const;
    void fileChanged();
    void folderChanged();
    void watchFileAfresh();

    QFileSystemWatcher m_watcher;
    QTimer m_settle;
    QString m_path;
    Stamp m_stamp;
};

} // namespace vanterel::config
