// Replacing a file whole on Linux and the other Unix systems.
#include "config/ReplaceFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vanterel::config {

namespace {

// A descriptor that is closed however the save ends.
struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QString describe(const QString &what, int error)
{
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
}

QByteArray temporaryName(const QByteArray &target)
{
    static constexpr char Letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray name = target + SaveTemporaryInfix;
    for (int i = 0; i < 6; ++i)
        name += Letters[QRandomGenerator::system()->bounded(int(sizeof Letters - 1))];
    return name;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *next = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        left -= written;
    }
    return true;
}

} // namespace

QString ReplaceFile(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    const QString resolved = info.isSymLink() ? info.symLinkTarget() : path;
    const QByteArray target = QFile::encodeName(resolved);
    const QString folderName = QFileInfo(resolved).absolutePath();
    const QByteArray folder = QFile::encodeName(folderName);

    struct stat old { };
    const bool hadFile = ::stat(target.constData(), &old) == 0 && S_ISREG(old.st_mode);

    // The new content goes to a file without a name where the system offers
    // one: should the program die before it is renamed into place, the
    // system frees it and nothing is left behind. It is linked in through
    // /proc, which needs no privilege.
    Descriptor file;
    bool unnamed = false;
#ifdef O_TMPFILE
    if (::access("/proc/self/fd", X_OK) == 0) {
        file.fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        unnamed = file.fd >= 0;
    }
#endif
    QByteArray named; // the temporary's name once it has one
    while (!unnamed && file.fd < 0) {
        named = temporaryName(target);
        file.fd = ::open(named.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        const int error = errno;
        if (file.fd < 0 && error != EEXIST)
            return describe(QStringLiteral("cannot create a file in ") + folderName, error);
    }

    // Only the temporary this call made is ever removed.
    const auto fail = [&named](const char *what) {
        const int error = errno;
        if (!named.isEmpty())
            ::unlink(named.constData());
        return describe(QString::fromLatin1(what), error);
    };
    if (!writeAll(file.fd, bytes))
        return fail("writing");
    if (hadFile && ::fchmod(file.fd, old.st_mode & 07777) != 0)
        return fail("keeping the permissions");
    if (::fsync(file.fd) != 0)
        return fail("flushing to disk");

    if (unnamed) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(file.fd);
        while (named.isEmpty()) {
            const QByteArray name = temporaryName(target);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0)
                named = name;
            else if (errno != EEXIST)
                return fail("linking the new file into its folder");
        }
    }
    if (::rename(named.constData(), target.constData()) != 0)
        return fail("cannot replace the old file");

    // The rename is on disk only once the folder is.
    Descriptor dir{::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0)
        ::fsync(dir.fd);
    return {};
}

} // namespace vanterel::config
