#include "config/KeyFileWatcher.h"

#include <QFileInfo>

namespace vanterel::config {

KeyFileWatcher::KeyFileWatcher(QObject *parent)
    : QObject(parent)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleTime);
    connect(&m_settle, &QTimer::timeout, this, &KeyFileWatcher::settled);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &KeyFileWatcher::fileChanged);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &KeyFileWatcher::folderChanged);
}

void KeyFileWatcher::watch(const QString &path)
{
    m_settle.stop();
    if (const QStringList watched = m_watcher.files() + m_watcher.directories(); !watched.isEmpty())
        m_watcher.removePaths(watched);
    m_path = path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
    if (m_path.isEmpty())
        return;
    m_stamp = stampNow();
    // Without its folder the file cannot come back either: nothing to watch.
    if (const QString folder = QFileInfo(m_path).absolutePath(); QFileInfo(folder).isDir())
        m_watcher.addPath(folder);
    if (m_stamp.exists)
        m_watcher.addPath(m_path);
}

KeyFileWatcher::Stamp KeyFileWatcher::stampNow() const
{
    const QFileInfo file(m_path);
    if (!file.exists())
        return {};
    return {true, file.size(), file.lastModified(), file.fileTime(QFileDevice::FileMetadataChangeTime)};
}

void KeyFileWatcher::fileChanged()
{
    m_stamp = stampNow();
    watchFileAfresh();
    m_settle.start();
}

void KeyFileWatcher::folderChanged()
{
    // Another file of the folder changed: nothing to read again.
    const Stamp now = stampNow();
    if (now == m_stamp)
        return;
    m_stamp = now;
    watchFileAfresh();
    m_settle.start();
}

void KeyFileWatcher::watchFileAfresh()
{
    // A watch made before a rename is on the file that was replaced; one made
    // now is on the file at the path.
    if (m_watcher.files().contains(m_path))
        m_watcher.removePath(m_path);
    if (m_stamp.exists)
        m_watcher.addPath(m_path);
}

} // namespace vanterel::config
