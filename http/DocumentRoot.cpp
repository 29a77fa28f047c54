#include "http/DocumentRoot.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace vanterel::http {

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity PathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity PathCase = Qt::CaseSensitive;
#endif

// The path with every ".", ".." and link resolved, or empty when it does not
// lead to an existing entry. realpath() only reads directory entries and
// link targets: nothing at the end of the path is opened, so a pipe cannot
// block us here. A trailing "/" after a file name fails, as it should.
QString resolved(const QString &path)
{
    if (path.isEmpty() || path.contains(QChar(u'\0')))
        return {};
#ifdef Q_OS_UNIX
    char buffer[PATH_MAX];
    if (::realpath(QFile::encodeName(path).constData(), buffer) == nullptr)
        return {};
    return QFile::decodeName(buffer);
#else
    return QFileInfo(path).canonicalFilePath();
#endif
}

// The part of target below root, or a null view when target is not root
// itself and does not lie below it. Compared a whole component at a time, so
// that "/srv/htdocs-old" is not taken to be inside "/srv/htdocs".
bool relativeBelow(const QString &target, const QString &root, QStringView &relative)
{
    if (target.compare(root, PathCase) == 0) {
        relative = QStringView();
        return true;
    }
    const qsizetype prefix = root.endsWith(u'/') ? root.size() : root.size() + 1;
    if (target.size() <= prefix || !target.startsWith(root, PathCase) || target.at(prefix - 1) != u'/')
        return false;
    relative = QStringView(target).mid(prefix);
    return true;
}

// Opens a resolved path that was checked, for reading. It never blocks, even
// if the entry has been replaced by a pipe since it was checked, refuses
// anything that is not a regular file and does not follow a link put in its
// place. Empty on failure.
OpenedEntry openChecked(const QString &target)
{
    OpenedEntry entry;
#ifdef Q_OS_UNIX
    // stat() before open(): opening a pipe waits for a writer, and a device
    // may do anything when opened.
    struct stat st { };
    if (::stat(QFile::encodeName(target).constData(), &st) != 0)
        return entry;
    const EntryKind kind = kindOfMode(st.st_mode);
    if (kind != EntryKind::File) {
        entry.kind = kind;
        return entry;
    }
    // Between the look-up and this open the entry may have been replaced.
    // O_NONBLOCK keeps a pipe from holding the server (it has no effect on
    // regular files), O_NOFOLLOW refuses a link put in place of the resolved
    // file, and fstat() checks what was really opened.
    FileHandle file(::open(QFile::encodeName(target).constData(),
                           O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return entry;
    entry.kind = EntryKind::File;
    entry.file = std::move(file);
    entry.size = static_cast<qint64>(st.st_size);
#elif defined(Q_OS_WIN)
    entry = windowsEntry(openWindowsEntry(target));
#else
    if (QFileInfo(target).isDir())
        entry.kind = EntryKind::Folder;
#endif
    return entry;
}

} // namespace

namespace {

bool isDeviceName(QStringView name)
{
    // Blanks before the extension do not matter to Windows either.
    const QStringView stem = name.left(name.indexOf(u'.')).trimmed();
    for (const QStringView fixed : {u"CON", u"PRN", u"AUX", u"NUL"}) {
        if (stem.compare(fixed, Qt::CaseInsensitive) == 0)
            return true;
    }
    if (stem.size() != 4 || stem.at(3) < u'1' || stem.at(3) > u'9')
        return false;
    const QStringView kind = stem.left(3);
    return kind.compare(u"COM", Qt::CaseInsensitive) == 0 || kind.compare(u"LPT", Qt::CaseInsensitive) == 0;
}

bool isSeparator(QChar c)
{
    return c == u'/' || c == u'\\';
}

} // namespace

OpenedEntry openByCanonicalPath(const QString &documentRoot, const QString &localPath)
{
    // An empty or missing root serves nothing at all: otherwise an empty
    // folder setting would put the whole file system behind the server.
    const QString root = resolved(documentRoot);
    if (root.isEmpty())
        return {};
#ifdef Q_OS_WIN
    // Windows would read these as something else than the file named, or
    // drop part of the name before resolving it.
    // Only what lies below the root text counts; a drive or a "\\" there is
    // the user's own choice.
    QStringView below(localPath);
    if (localPath.startsWith(documentRoot, PathCase))
        below = below.mid(documentRoot.size());
    else if (below.size() >= 2 && below.at(1) == u':')
        below = below.mid(2);
    while (!below.isEmpty() && isSeparator(below.front()))
        below = below.mid(1);
    if (hasWindowsSpecialName(below))
        return {};
#endif
    const QString target = resolved(localPath);
    if (target.isEmpty())
        return {};

    // Only what lies inside the root after every link is resolved: links
    // that lead out, "..", and a root text that a path can run on from
    // ("/srv/htdocs" + "-old/x") all end here. Links that stay inside are fine.
    QStringView relative;
    if (!relativeBelow(target, root, relative))
        return {};

    // Hidden names below the root are never served, also when a link inside
    // the root leads to one. The root's own components do not count: a root
    // such as ~/.local/share/htdocs must work.
    if (hasHiddenComponent(relative))
        return {};

    return openChecked(target);
}

bool hasWindowsSpecialName(QStringView path)
{
    if (path.contains(u':') || (path.size() >= 2 && isSeparator(path.at(0)) && isSeparator(path.at(1))))
        return true;
    qsizetype start = 0;
    while (start < path.size()) {
        qsizetype end = start;
        while (end < path.size() && !isSeparator(path.at(end)))
            ++end;
        const QStringView name = path.mid(start, end - start);
        if (!name.isEmpty() && (name.endsWith(u'.') || name.endsWith(u' ') || isDeviceName(name)))
            return true;
        start = end + 1;
    }
    return false;
}

bool hasHiddenComponent(QStringView path)
{
    bool atStart = true;
    for (const QChar c : path) {
        if (c == u'/' || c == u'\\') {
            atStart = true;
            continue;
        }
        if (atStart && c == u'.')
            return true;
        atStart = false;
    }
    return false;
}

EntryKind kindOfMode(unsigned mode)
{
#ifdef Q_OS_UNIX
    if (S_ISDIR(mode))
        return EntryKind::Folder;
    if (S_ISREG(mode))
        return EntryKind::File;
#else
    Q_UNUSED(mode);
#endif
    return EntryKind::Missing;
}

void FileHandle::reset(int fd)
{
#ifdef Q_OS_WIN
    if (m_fd != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(m_fd)));
#else
    if (m_fd >= 0)
        ::close(m_fd);
#endif
    m_fd = fd;
}

} // namespace vanterel::http
