// libFuzzer target for the request decision, on a real folder tree that has
// a secret beside the document root and links that lead out of it. Whatever
// the bytes, nothing outside the root may be served or redirected to, and a
// refused request never carries a command.
//
//   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVANTEREL_FUZZ=ON
//   cmake --build build-fuzz --target fuzz_request && build-fuzz/tests/http/fuzz_request -max_total_time=60
#include "http/Request.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

using namespace Qt::StringLiterals;
using vanterel::http::ResponseKind;

namespace {

struct Tree {
    QTemporaryDir dir;
    QString root;
    QString resolvedRoot;

    Tree()
    {
        if (!dir.isValid())
            std::abort();
        const QDir base(dir.path());
        base.mkpath(u"htdocs/sub"_s);
        base.mkpath(u"htdocs-old"_s);
        base.mkpath(u"htdocs/.dot"_s);
        for (const char *name : {"secret.htm", "htdocsx.htm", "htdocs-old/a.htm", "htdocs/index.htm",
                                 "htdocs/sub/a.jpg", "htdocs/.dot/a.htm", "htdocs/.h.htm",
                                 "htdocs/My Page.htm"}) {
            QFile file(base.filePath(QString::fromLatin1(name)));
            if (!file.open(QIODevice::WriteOnly))
                std::abort();
        }
        if (::symlink("../secret.htm", QFile::encodeName(base.filePath(u"htdocs/out.htm"_s))) != 0
            || ::symlink("..", QFile::encodeName(base.filePath(u"htdocs/up"_s))) != 0
            || ::symlink("sub", QFile::encodeName(base.filePath(u"htdocs/in"_s))) != 0)
            std::abort();
        root = base.filePath(u"htdocs"_s);
        resolvedRoot = QFileInfo(root).canonicalFilePath();
    }
};

bool inside(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + u'/');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Tree tree;
    // Both ways of writing the root, since a path may run on from it.
    static const vanterel::http::FileSystemRoot plain(tree.root);
    static const vanterel::http::FileSystemRoot slashed(tree.root + u'/');

    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const vanterel::http::FileSystemRoot *root : {&plain, &slashed}) {
        const vanterel::http::RequestDecision decision =
            vanterel::http::decideRequest(bytes, *root, u"S"_s);
        if (decision.response.isEmpty())
            std::abort();
        if (decision.request.refused && !decision.request.command.isEmpty())
            std::abort();
        if (decision.kind == ResponseKind::File || decision.kind == ResponseKind::Redirect) {
            const QString &path = decision.entry.resolvedPath;
            if (!inside(path, tree.resolvedRoot) || path.contains(u"/."))
                std::abort();
        }
    }
    return 0;
}
