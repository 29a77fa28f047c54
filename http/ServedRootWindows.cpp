// Path look-up on Windows: refuse the names Windows treats specially, open
// what is left, and ask the system where the opened entry really is.
#include "http/Request.h"
#include "http/ServedRoot.h"

#include <QDir>

#include <string>
#include <windows.h>

namespace vanterel::http {

namespace {

// How often the root's final path is looked up again.
constexpr std::chrono::seconds RootCheckInterval{1};

HANDLE handleOf(int value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

// Kernel handles have 32 significant bits and are sign-extended, so a
// FileHandle's int holds one (and -1 is INVALID_HANDLE_VALUE).
int valueOf(HANDLE handle)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

// The path the system reached, links, junctions and 8.3 names resolved,
// in the "\\?\C:\..." form; empty on failure.
QString finalPath(const FileHandle &file)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFinalPathNameByHandleW(handleOf(file.get()), buffer.data(), DWORD(buffer.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return {};
        if (n < buffer.size())
            return QString::fromWCharArray(buffer.data(), qsizetype(n));
        buffer.resize(n + 1);
    }
}

// The part of the local path below the root text, or false when the local
// path does not run on from the root text with a separator.
bool relativePart(const QString &localPath, const QString &root, QStringView &relative)
{
    if (!localPath.startsWith(root, Qt::CaseInsensitive))
        return false;
    relative = QStringView(localPath).mid(root.size());
    const bool rootEnds = root.endsWith(u'/') || root.endsWith(u'\\');
    if (!rootEnds && !relative.isEmpty() && relative.front() != u'/' && relative.front() != u'\\')
        return false;
    return true;
}

// Whether final lies in root (both final paths) or is root itself, compared
// a whole component at a time and without regard to case, as the file
// system compares names. below is what lies under the root.
bool finalBelow(const QString &final, const QString &root, QStringView &below)
{
    if (!final.startsWith(root, Qt::CaseInsensitive))
        return false;
    below = QStringView(final).mid(root.size());
    if (below.isEmpty() || root.endsWith(u'\\'))
        return true;
    return below.front() == u'\\';
}

} // namespace

// Folders need FILE_FLAG_BACKUP_SEMANTICS to be opened at all; sharing
// everything keeps the user free to edit and rename pages while they are
// being sent.
FileHandle openWindowsEntry(const QString &path)
{
    const std::wstring wide = QDir::toNativeSeparators(path).toStdWString();
    HANDLE h
        = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return FileHandle(valueOf(h));
}

OpenedEntry windowsEntry(FileHandle file)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || ::GetFileType(handleOf(file.get())) != FILE_TYPE_DISK
        || !::GetFileInformationByHandle(handleOf(file.get()), &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
        return {};
    OpenedEntry entry;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        entry.kind = EntryKind::Folder;
        return entry;
    }
    entry.kind = EntryKind::File;
    entry.size = qint64((quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    entry.file = std::move(file);
    return entry;
}

ServedRoot::ServedRoot(QString documentRoot)
    : m_text(std::move(documentRoot))
{
    m_textMapsToItself = !m_text.isEmpty() && mapToLocalPath(QString(), m_text) == m_text;
    // Windows has no call that opens a path beneath a folder handle, so the
    // final path of what was opened decides.
    m_kernelCanResolve = false;
}

ServedRoot::~ServedRoot() = default;

OpenedEntry ServedRoot::open(const QString &requestPath, const QString &localPath)
{
    m_usedFallback = false;
    if (hasHiddenComponent(requestPath) || localPath.contains(QChar(u'\0')))
        return {};
    if (!m_textMapsToItself)
        return openFallback(localPath);
    QStringView relative;
    if (!relativePart(localPath, m_text, relative))
        return {};
    while (!relative.isEmpty() && (relative.front() == u'/' || relative.front() == u'\\'))
        relative = relative.mid(1);
    if (hasWindowsSpecialName(relative))
        return {};

    // The root's final path, looked up again now and then, so that a root
    // that is replaced or moved is seen as it is now. m_root keeps the
    // folder open meanwhile, so that it cannot be renamed away unseen.
    const auto now = std::chrono::steady_clock::now();
    if (!m_root || now - m_checkedAt >= RootCheckInterval) {
        m_checkedAt = now;
        m_root = openWindowsEntry(m_text);
        m_rootFinal = m_root ? finalPath(m_root) : QString();
    }
    if (m_rootFinal.isEmpty())
        return {};

    FileHandle file = openWindowsEntry(localPath);
    if (!file)
        return {};
    // Links and junctions inside the root that lead out of it, and 8.3 short
    // names of hidden entries, all end here: what counts is where the system
    // arrived.
    QStringView below;
    const QString final = finalPath(file);
    if (final.isEmpty() || !finalBelow(final, m_rootFinal, below) || hasHiddenComponent(below))
        return {};
    return windowsEntry(std::move(file));
}

OpenedEntry ServedRoot::openByCanonicalPath(const QString &requestPath, const QString &localPath) const
{
    if (hasHiddenComponent(requestPath))
        return {};
    return http::openByCanonicalPath(m_text, localPath);
}

OpenedEntry ServedRoot::openFallback(const QString &localPath)
{
    m_usedFallback = true;
    return http::openByCanonicalPath(m_text, localPath);
}

} // namespace vanterel::http
