// Path look-up beneath a descriptor of the document root with openat2(2).
#include "http/Request.h"
#include "http/ServedRoot.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vanterel::http {

namespace {

// How often the held root is compared with what its path names now.
constexpr std::chrono::seconds RootCheckInterval{1};

int openat2(int dirfd, const char *path, std::uint64_t flags, std::uint64_t resolve)
{
    open_how how{};
    how.flags = flags;
    how.resolve = resolve;
    return static_cast<int>(::syscall(SYS_openat2, dirfd, path, &how, sizeof how));
}

// O_NONBLOCK: a pipe opens at once instead of waiting for a writer (and is
// then refused); it does nothing to regular files and folders.
constexpr std::uint64_t OpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
// Beneath the root, no /proc magic; first try without links at all, which is
// what nearly every request needs and settles the hidden-name rule by the
// request path alone.
constexpr std::uint64_t Beneath = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;

// The part of the local path below the root text, without leading
// separators; false when the local path does not run on from the root text
// with a separator.
bool relativePart(const QString &localPath, const QString &root, QString &relative)
{
    if (!localPath.startsWith(root))
        return false;
    QStringView rest = QStringView(localPath).mid(root.size());
    if (!root.endsWith(u'/') && !rest.isEmpty() && rest.front() != u'/')
        return false;
    while (!rest.isEmpty() && rest.front() == u'/')
        rest = rest.mid(1);
    relative = rest.toString();
    return true;
}

} // namespace

ServedRoot::ServedRoot(QString documentRoot)
    : m_text(std::move(documentRoot))
{
    // The mapping collapses "//" and decodes "%20" over the whole local path,
    // root included: such a root text no longer begins the local paths.
    m_textMapsToItself = !m_text.isEmpty() && mapToLocalPath(QString(), m_text) == m_text;
    // Held from the start, so that the first request costs no more than the rest.
    if (m_textMapsToItself)
        rootUsable();
}

ServedRoot::~ServedRoot() = default;

bool ServedRoot::rootUsable()
{
    const auto now = std::chrono::steady_clock::now();
    if (m_root && now - m_checkedAt < RootCheckInterval)
        return true;
    m_checkedAt = now;
    struct stat st { };
    const QByteArray path = QFile::encodeName(m_text);
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        m_root.reset();
        return false;
    }
    if (m_root && quint64(st.st_dev) == m_device && quint64(st.st_ino) == m_inode)
        return true;
    m_root.reset(::open(path.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat held { };
    if (!m_root || ::fstat(m_root.get(), &held) != 0) {
        m_root.reset();
        return false;
    }
    m_device = quint64(held.st_dev);
    m_inode = quint64(held.st_ino);
    return true;
}

OpenedEntry ServedRoot::open(const QString &requestPath, const QString &localPath)
{
    m_usedFallback = false;
    if (hasHiddenComponent(requestPath) || localPath.contains(QChar(u'\0')))
        return {};
    QString relative;
    if (!m_kernelCanResolve || !m_textMapsToItself || !relativePart(localPath, m_text, relative))
        return openFallback(localPath);
    // An empty or missing root serves nothing at all.
    if (!rootUsable())
        return {};
    return openBeneath(relative.isEmpty() ? QByteArrayLiteral(".") : QFile::encodeName(relative), localPath);
}

OpenedEntry ServedRoot::openByCanonicalPath(const QString &requestPath, const QString &localPath) const
{
    if (hasHiddenComponent(requestPath))
        return {};
    return http::openByCanonicalPath(m_text, localPath);
}

OpenedEntry ServedRoot::openBeneath(const QByteArray &relative, const QString &localPath)
{
    FileHandle fd(openat2(m_root.get(), relative.constData(), OpenFlags, Beneath | RESOLVE_NO_SYMLINKS));
    bool viaLink = false;
    if (!fd) {
        if (errno == ENOSYS || errno == EPERM) {
            // No openat2 in this kernel, or a sandbox that forbids it.
            m_kernelCanResolve = false;
            return openFallback(localPath);
        }
        if (errno != ELOOP)
            return {};
        // A link on the way: follow it, as long as it stays beneath the root.
        fd.reset(openat2(m_root.get(), relative.constData(), OpenFlags, Beneath));
        // The kernel refuses every absolute link, also one that names a place
        // inside the root; the canonical path decides for those.
        if (!fd && errno == EXDEV)
            return openFallback(localPath);
        if (!fd)
            return {};
        viaLink = true;
    }

    struct stat st { };
    if (::fstat(fd.get(), &st) != 0)
        return {};
    OpenedEntry entry;
    entry.kind = kindOfMode(st.st_mode);
    if (entry.kind == EntryKind::Missing)
        return {};
    if (entry.kind == EntryKind::File)
        entry.size = static_cast<qint64>(st.st_size);

    if (viaLink) {
        // A link inside the root may lead to a hidden name inside it, which is
        // no more served than the name itself: look at where it led.
        char target[PATH_MAX];
        char root[PATH_MAX];
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd.get());
        const QByteArray rootSelf = "/proc/self/fd/" + QByteArray::number(m_root.get());
        const ssize_t n = ::readlink(self.constData(), target, sizeof target);
        const ssize_t r = ::readlink(rootSelf.constData(), root, sizeof root);
        if (n <= 0 || r <= 0 || n >= ssize_t(sizeof target) || r >= ssize_t(sizeof root))
            return {};
        const QString led = QFile::decodeName(QByteArray(target, n));
        const QString base = QFile::decodeName(QByteArray(root, r));
        const QStringView below = QStringView(led).mid(base.size());
        if (!led.startsWith(base) || hasHiddenComponent(below))
            return {};
    }

    if (entry.kind == EntryKind::File)
        entry.file = std::move(fd);
    return entry;
}

OpenedEntry ServedRoot::openFallback(const QString &localPath)
{
    m_usedFallback = true;
    return http::openByCanonicalPath(m_text, localPath);
}

} // namespace vanterel::http
