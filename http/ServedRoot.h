#pragma once

#include "http/DocumentRoot.h"

#include <QString>

#include <chrono>

namespace vanterel::http {

// The document root as the server serves it. It holds a descriptor of the
// folder and has the kernel resolve every request path beneath it, so that no
// path, link or rename race can lead outside: one system call per request.
// Links that stay inside the root are followed; hidden names below the root
// and anything that is neither a regular file nor a folder count as missing.
// Where the kernel cannot do this, the canonical-path check
// (openByCanonicalPath) decides instead.
class ServedRoot {
public:
    explicit ServedRoot(QString documentRoot);
    ~ServedRoot();
    ServedRoot(const ServedRoot &) = delete;
    ServedRoot &operator=(const ServedRoot &) = delete;

    const QString &documentRoot() const { return m_text; }

    // Opens what the local path names. requestPath is the path it was mapped
    // from (no query, checked by the request rules); localPath is
    // mapToLocalPath(requestPath, documentRoot()).
    OpenedEntry open(const QString &requestPath, const QString &localPath);
    // The same, decided by the canonical-path check alone: what open() must
    // agree with (for tests and the fuzzer).
    OpenedEntry openByCanonicalPath(const QString &requestPath, const QString &localPath) const;

    // Whether the last open() was decided by the canonical-path check (for tests).
    bool usedFallback() const { return m_usedFallback; }

private:
    OpenedEntry openBeneath(const QByteArray &relative, const QString &localPath);
    OpenedEntry openFallback(const QString &localPath);
    bool rootUsable();

    QString m_text;
    FileHandle m_root;
    // The root text as it appears at the start of every local path, when the
    // mapping leaves it unchanged; otherwise only the fallback can decide.
    bool m_textMapsToItself = true;
    bool m_kernelCanResolve = true;
    bool m_usedFallback = false;
    // A root that is deleted and made again, or swapped by a rename, is a new
    // folder: the descriptor is checked against the path now and then.
    std::chrono::steady_clock::time_point m_checkedAt{};
    quint64 m_device = 0;
    quint64 m_inode = 0;
#ifdef _WIN32
    // Where the system says the root is ("\\?\C:\...").
    QString m_rootFinal;
#endif
};

} // namespace vanterel::http
