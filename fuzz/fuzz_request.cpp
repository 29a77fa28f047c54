// The request decision over a real folder tree that has a secret beside the
// document root, links that lead in and out of it, hidden entries and a named
// pipe, seen through four ways of writing the root. Whatever the bytes:
//
// - a refused request is a 404 that carries no command;
// - a file or folder answer names an entry that lies inside the resolved
//   root, with no hidden name below it, of the kind announced, and it is the
//   entry the mapped local path leads to;
// - a file header announces the length of the file on disk, and the file
//   opens with that length;
// - the response ends its header exactly once, at its end;
// - the server's own look-up (the kernel resolving beneath a descriptor of
//   the root) finds what the canonical-path check finds: the same kind, and
//   for a file the same file.
//
//   scripts/fuzz.sh --seconds 600 fuzz_request
#include "fuzz/FuzzSupport.h"
#include "http/DocumentRoot.h"
#include "http/Request.h"
#include "http/ServedRoot.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <array>
#include <memory>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace vanterel::fuzz;
using vanterel::http::EntryKind;
using vanterel::http::FileSystemRoot;
using vanterel::http::ResponseKind;

namespace {

// What the operating system says a path leads to; empty when nowhere.
QString realPath(const QString &path)
{
    if (path.isEmpty() || path.contains(QChar(u'\0')))
        return {};
    char buffer[PATH_MAX];
    if (::realpath(QFile::encodeName(path).constData(), buffer) == nullptr)
        return {};
    return QFile::decodeName(buffer);
}

struct Root {
    FileSystemRoot view;
    QString canonical;
    std::shared_ptr<vanterel::http::ServedRoot> served;
};

//   base/secret.htm, base/htdocsx.htm, base/htdocs-old/old.htm   outside
//   base/.local/htdocs/index.htm                                 a root below a hidden folder
//   base/root-link -> htdocs                                     a root reached through a link
//   base/htdocs/index.htm, sub/page.htm, My Page.htm, café.htm, v1.2/pic.jpg, empty.htm
//   base/htdocs/link-in.htm -> sub/page.htm, link-in-dir -> sub
//   base/htdocs/link-out.htm -> ../secret.htm, link-out-dir -> .., link-abs-out -> base/secret.htm
//   base/htdocs/sub/up -> ../.., link-to-hidden.htm -> .hidden.htm, link-to-hidden-dir -> .dotdir
//   base/htdocs/link-to-fifo -> fifo, dangling -> nowhere.htm, loop -> loop
//   base/htdocs/.hidden.htm, .dotdir/x.htm, fifo (a named pipe)
struct Tree {
    QString base;
    QList<Root> roots;

    Tree()
    {
        base = scratchFolder().filePath(u"tree"_s);
        const QDir dir(base);
        for (const QString &folder : {u"htdocs/sub"_s, u"htdocs/v1.2"_s, u"htdocs/.dotdir"_s,
                                      u"htdocs-old"_s, u".local/htdocs"_s})
            check(dir.mkpath(folder), "the tree's folders can be made", folder);

        // Lengths that differ, so that a header with the wrong file's length shows.
        const std::array<std::pair<QString, QByteArray>, 12> files{{
            {u"secret.htm"_s, "secret"},
            {u"htdocsx.htm"_s, "beside the root"},
            {u"htdocs-old/old.htm"_s, "old"},
            {u".local/htdocs/index.htm"_s, "local index"},
            {u"htdocs/index.htm"_s, "index page"},
            {u"htdocs/sub/page.htm"_s, "a sub page"},
            {u"htdocs/My Page.htm"_s, "with a blank"},
            {u"htdocs/café.htm"_s, "with an accent"},
            {u"htdocs/v1.2/pic.jpg"_s, QByteArray(3000, 'j')},
            {u"htdocs/empty.htm"_s, QByteArray()},
            {u"htdocs/.hidden.htm"_s, "hidden"},
            {u"htdocs/.dotdir/x.htm"_s, "hidden too"},
        }};
        for (const auto &[name, content] : files)
            writeFile(dir.filePath(name), content);

        const std::array<std::pair<QString, QString>, 13> links{{
            {u"htdocs"_s, u"root-link"_s},
            {u"sub/page.htm"_s, u"htdocs/link-in.htm"_s},
            {u"sub"_s, u"htdocs/link-in-dir"_s},
            {u"../secret.htm"_s, u"htdocs/link-out.htm"_s},
            {u".."_s, u"htdocs/link-out-dir"_s},
            {dir.filePath(u"secret.htm"_s), u"htdocs/link-abs-out"_s},
            {u"../.."_s, u"htdocs/sub/up"_s},
            {u".hidden.htm"_s, u"htdocs/link-to-hidden.htm"_s},
            {u".dotdir"_s, u"htdocs/link-to-hidden-dir"_s},
            {u"fifo"_s, u"htdocs/link-to-fifo"_s},
            {u"nowhere.htm"_s, u"htdocs/dangling"_s},
            {u"loop"_s, u"htdocs/loop"_s},
            {u"../htdocs-old"_s, u"htdocs/old"_s},
        }};
        for (const auto &[target, link] : links) {
            check(::symlink(QFile::encodeName(target).constData(),
                            QFile::encodeName(dir.filePath(link)).constData())
                      == 0,
                  "the tree's links can be made", link);
        }
        check(::mkfifo(QFile::encodeName(dir.filePath(u"htdocs/fifo"_s)).constData(), 0600) == 0,
              "the named pipe can be made");

        // Both ways of writing the root (a path may run on from it), a root
        // reached through a link, and one below a hidden folder.
        for (const QString &root : {dir.filePath(u"htdocs"_s), dir.filePath(u"htdocs/"_s),
                                    dir.filePath(u"root-link"_s), dir.filePath(u".local/htdocs"_s)}) {
            const QString canonical = realPath(root);
            check(!canonical.isEmpty(), "the root resolves", root);
            roots.append(Root{FileSystemRoot(root), canonical, std::make_shared<vanterel::http::ServedRoot>(root)});
        }
    }
};

bool hiddenBelow(const QString &relative)
{
    for (const QString &name : relative.split(u'/'))
        if (name.startsWith(u'.'))
            return true;
    return false;
}

// The announced length, or -1 when the header has none or more than one.
qint64 contentLength(const QByteArray &header)
{
    constexpr QByteArrayView Name = "\r\nContent-Length: ";
    const qsizetype at = header.indexOf(Name);
    if (at < 0 || header.indexOf(Name, at + 1) >= 0)
        return -1;
    const qsizetype from = at + Name.size();
    const qsizetype end = header.indexOf("\r\n", from);
    bool ok = false;
    const qint64 length = header.mid(from, end - from).toLongLong(&ok);
    return ok ? length : -1;
}

void checkDecision(const Root &root, const vanterel::http::RequestDecision &decision)
{
    const QString detail = u"root %1, request path \"%2\", local path \"%3\", resolved \"%4\""_s.arg(
        root.view.documentRoot(), decision.request.requestPath, decision.localPath,
        decision.entry.resolvedPath);
    const QByteArray &response = decision.response;
    check(response.endsWith("\r\n\r\n") && response.indexOf("\r\n\r\n") == response.size() - 4,
          "the response's header ends once, at its end", QString::fromLatin1(response));

    if (!decision.request.isGet)
        check(decision.kind == ResponseKind::NotImplemented, "a text that is no GET line gets 501", detail);
    if (decision.request.refused) {
        check(decision.kind == ResponseKind::NotFound, "a refused path gets 404", detail);
        check(decision.request.command.isEmpty(), "a refused path runs no command", detail);
    }
    if (decision.kind != ResponseKind::File && decision.kind != ResponseKind::Redirect)
        return;

    // What is served or redirected to lies inside the root, once every link
    // is resolved by the system itself, and has no hidden name below it.
    const QString &resolved = decision.entry.resolvedPath;
    const QString real = realPath(resolved);
    check(!real.isEmpty() && real == resolved, "the served entry is given by its real path", detail);
    const bool inside = real == root.canonical || real.startsWith(root.canonical + u'/');
    check(inside, "the served entry lies inside the document root", detail);
    check(!hiddenBelow(real.mid(root.canonical.size())), "no hidden entry is served", detail);
    check(realPath(decision.localPath) == real, "the entry checked is the one the request names", detail);

    struct stat st {};
    check(::lstat(QFile::encodeName(real).constData(), &st) == 0, "the served entry exists", detail);
    if (decision.kind == ResponseKind::Redirect) {
        check(S_ISDIR(st.st_mode), "only a folder is redirected", detail);
        return;
    }
    check(S_ISREG(st.st_mode), "only a regular file is served", detail);
    check(decision.entry.size == st.st_size, "the looked-up length is the file's", detail);
    check(contentLength(response) == st.st_size, "Content-Length is the file's length",
          detail + u"\n"_s + QString::fromLatin1(response));
    qint64 opened = -1;
    check(bool(vanterel::http::openServedFile(resolved, opened)), "a served file opens", detail);
    check(opened == st.st_size, "the opened file has the announced length", detail);
}

void checkServedRoot(const Root &root, const vanterel::http::RequestDecision &decision)
{
    if (!decision.request.isGet || decision.request.refused)
        return;
    const vanterel::http::OpenedEntry entry = root.served->open(decision.request.path, decision.localPath);
    const QString detail = u"root %1, request path \"%2\", local path \"%3\""_s.arg(
        root.view.documentRoot(), decision.request.path, decision.localPath);
    const EntryKind expected = decision.entry.kind;
    check(entry.kind == expected, "the kernel's look-up finds the kind the canonical check finds", detail);
    if (entry.kind != EntryKind::File || expected != EntryKind::File)
        return;
    struct stat got {};
    struct stat want {};
    check(::fstat(entry.file.get(), &got) == 0
              && ::stat(QFile::encodeName(decision.entry.resolvedPath).constData(), &want) == 0
              && got.st_ino == want.st_ino && got.st_dev == want.st_dev,
          "the kernel's look-up opens the file the canonical check names", detail);
    check(entry.size == want.st_size, "the opened file has its length", detail);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Tree tree;

    const QByteArray bytes = bytesOf(data, size);
    for (const Root &root : tree.roots) {
        const vanterel::http::RequestDecision decision = vanterel::http::decideRequest(bytes, root.view, u"S"_s);
        checkDecision(root, decision);
        checkServedRoot(root, decision);
    }
    return 0;
}
