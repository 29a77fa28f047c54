#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <utility>

namespace vanterel::http {

// An open file descriptor that closes itself; -1 when empty.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd)
        : m_fd(fd)
    {
    }
    FileHandle(FileHandle &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    FileHandle &operator=(FileHandle &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// What a mapped local path turned out to name.
enum class EntryKind {
    Missing, // absent, outside the document root, hidden, or a system file
    Folder,
    File,
};

struct PathEntry {
    EntryKind kind = EntryKind::Missing;
    // For a folder or a file: the path with every link resolved; it lies inside
    // the resolved document root. This is the path to open, so that what is
    // opened is what was checked.
    QString resolvedPath;
    // For a file: its length in bytes when it was looked at.
    qint64 size = 0;
};

// The server's view of the folder it serves. The request rules only ever ask
// these two things of it, so a test or a fuzzer can hand in a view of its own.
class DocumentRootView {
public:
    virtual ~DocumentRootView();

    // The folder text that request paths are put behind (the DocumentRoot setting).
    virtual QString documentRoot() const = 0;

    // What the local path names. Anything that does not lie inside the
    // document root once links are resolved, anything hidden below it, and
    // anything that is neither a regular file nor a folder counts as Missing.
    virtual PathEntry lookUp(const QString &localPath) const = 0;
};

// The real file system. Holds only the root's text: the root is resolved again
// on every look-up, so a folder that appears, moves or changes under a running
// server is seen as it is now.
class FileSystemRoot final : public DocumentRootView {
public:
    explicit FileSystemRoot(QString documentRoot);

    QString documentRoot() const override;
    PathEntry lookUp(const QString &localPath) const override;

private:
    QString m_documentRoot;
};

// What an entry of the given file mode (st_mode) and size is to the server:
// a folder, a regular file of that length, or - anything else - missing.
PathEntry entryOfMode(unsigned mode, qint64 size);

// True when a component of the path, with "/" and "\" both taken as
// separators, begins with "." (this covers "." and ".." as well). Such names
// are hidden on Linux and are never served.
bool hasHiddenComponent(QStringView path);

// Opens a file that lookUp() found, for reading. It never blocks, even if the
// entry has been replaced by a pipe since it was looked at, refuses anything
// that is not a regular file and does not follow a link put in its place.
// Empty on failure; size is then the length to announce.
FileHandle openServedFile(const QString &resolvedPath, qint64 &size);

} // namespace vanterel::http
