#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <utility>

// What a request path may name below the document root, and the portable way
// of finding it: the canonical-path check. The server looks paths up through
// ServedRoot (ServedRoot.h), which has the kernel do it and falls back on
// this check where the kernel cannot.
namespace vanterel::http {

// An open file descriptor that closes itself; -1 when empty. On Windows it
// holds a file HANDLE (whose value fits an int).
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
#ifdef _WIN32
    explicit operator bool() const
    {
        return m_fd != -1;
    }
#else
    explicit operator bool() const
    {
        return m_fd >= 0;
    }
#endif
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

// What a request path named, opened: for a file, open for reading with its
// length as it was when opened. A folder is not opened.
struct OpenedEntry {
    EntryKind kind = EntryKind::Missing;
    FileHandle file;
    qint64 size = 0;
};

#ifdef _WIN32
// Opens a file or a folder for reading, as the system resolves the path;
// an empty handle when it cannot.
FileHandle openWindowsEntry(const QString &path);

// What an entry opened so names: a file keeps the handle and its length, a
// folder is named only. Hidden and system files, and whatever is not a file
// on a disk, count as missing.
OpenedEntry windowsEntry(FileHandle file);
#endif

// The kind of an entry of the given file mode (st_mode): a folder, a regular
// file, or - anything else, sockets, pipes and devices - missing.
EntryKind kindOfMode(unsigned mode);

// True when a component of the path, with "/" and "\" both taken as
// separators, begins with "." (this covers "." and ".." as well). Such names
// are hidden on Linux and are never served.
bool hasHiddenComponent(QStringView path);

// True when a component of the path names something other than a file or
// folder on Windows, or when the path leaves the folder it is read in:
// an alternate data stream or a drive (any ":"), a device name (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, with any extension), a name ending in a dot or a
// blank (which Windows drops, so "index.htm." opens "index.htm"), and a path
// that begins with two separators (UNC, "\\?\", "\\.\"). Such paths are
// never served on Windows.
bool hasWindowsSpecialName(QStringView path);

// The canonical-path check: resolves the document root and the local path
// with every link, and opens what the local path names only when it lies
// inside the root, has no hidden name below it and is a regular file or a
// folder. The root is resolved anew on every call, so a folder that appears,
// moves or changes under a running server is seen as it is now. An empty or
// missing root serves nothing.
OpenedEntry openByCanonicalPath(const QString &documentRoot, const QString &localPath);

} // namespace vanterel::http
