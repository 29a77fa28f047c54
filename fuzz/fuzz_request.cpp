// The server's request decision over a real folder tree with a secret beside the document root, links in
// and out of it, hidden entries and a named pipe, seen through four ways of writing the root. Whatever the
// bytes, the oracle below holds: above all, a file or folder answer names the entry the local path leads
// to, inside the resolved root, with no hidden name below it, and the server's look-up (the kernel
// resolving beneath a descriptor of the root) finds the same kind and file as the canonical-path check.
//
//   scripts/fuzz.sh --seconds 600 fuzz_request
#include "http/Request.h"
#include "http/ServedRoot.h"

#include <QDir>
#include <QList>
#include <QTemporaryDir>

#include <climits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace vanterel::http;

namespace {

// A broken rule ends the run with what was broken (qFatal aborts); libFuzzer keeps the input.
void check(bool holds, const char *rule, const QString &detail = {})
{
    if (!holds)
        qFatal("*** broken rule: %s\n*** %s", rule, qUtf8Printable(detail));
}

// What the operating system says a path leads to; empty when nowhere.
QString realPath(const QString &path)
{
    char buffer[PATH_MAX];
    const bool found = !path.contains(QChar(u'\0')) && ::realpath(QFile::encodeName(path).data(), buffer);
    return found ? QFile::decodeName(buffer) : QString();
}

struct Root {
    QString canonical;
    std::shared_ptr<ServedRoot> served;
};

// Below TMPDIR, which scripts/fuzz.sh removes.
QList<Root> makeTree()
{
    static QTemporaryDir scratch;
    check(scratch.isValid(), "the scratch folder is made", scratch.errorString());
    const QDir dir(scratch.path());
    // File i holds 5 i bytes, so that a header with another file's length shows.
    const QString files[] = {u"htdocs/empty.htm"_s,
                             u"secret.htm"_s,
                             u"htdocsx.htm"_s,
                             u"htdocs-old/old.htm"_s,
                             u".local/htdocs/index.htm"_s,
                             u"htdocs/index.htm"_s,
                             u"htdocs/sub/page.htm"_s,
                             u"htdocs/My Page.htm"_s,
                             u"htdocs/café.htm"_s,
                             u"htdocs/v1.2/pic.jpg"_s,
                             u"htdocs/.hidden.htm"_s,
                             u"htdocs/.dotdir/x.htm"_s};
    for (int i = 0; i < int(std::size(files)); ++i) {
        QFile file(dir.filePath(files[i]));
        check(dir.mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly)
                  && file.write(QByteArray(5 * i, 'x')) == 5 * i,
              "a file", files[i]);
    }
    const std::pair<QString, QString> links[] = {// target, link
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
                                                 {u"../htdocs-old"_s, u"htdocs/old"_s}};
    for (const auto &[target, link] : links)
        check(::symlink(QFile::encodeName(target).data(), QFile::encodeName(dir.filePath(link)).data()) == 0,
              "a link", link);
    check(::mkfifo(QFile::encodeName(dir.filePath(u"htdocs/fifo"_s)).constData(), 0600) == 0, "a fifo");

    // Both ways of writing the root (a path may run on from it), through a link, and below a hidden folder.
    QList<Root> roots;
    for (const QString &root : {dir.filePath(u"htdocs"_s), dir.filePath(u"htdocs/"_s),
                                dir.filePath(u"root-link"_s), dir.filePath(u".local/htdocs"_s)})
        roots.append(Root{realPath(root), std::make_shared<ServedRoot>(root)});
    return roots;
}

// Two stats name the same file, at the same length.
bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size;
}

void checkDecision(const Root &root, const RequestDecision &decision)
{
    const ParsedRequest &request = decision.request;
    const QByteArray &response = decision.response;
    const QString real = realPath(decision.localPath);
    const QString detail = u"root %1, request path \"%2\", local path \"%3\", real path \"%4\"\n%5"_s.arg(
        root.served->documentRoot(), request.requestPath, decision.localPath, real,
        QString::fromLatin1(response));
    check(response.indexOf("\r\n\r\n") == response.size() - 4, "the header ends once, at the end", detail);
    check(request.isGet || decision.kind == ResponseKind::NotImplemented, "no GET line gets 501", detail);
    check(!request.refused || (decision.kind == ResponseKind::NotFound && request.command.isEmpty()),
          "a refused path gets 404 and runs no command", detail);
    check((decision.command == CommandAction::None) == request.command.isEmpty(),
          "a command is weighed exactly when there is one", detail);
    if (!request.isGet || request.refused)
        return;

    const OpenedEntry canonical = root.served->openByCanonicalPath(request.path, decision.localPath);
    check(decision.entry.kind == canonical.kind,
          "the server's look-up finds the kind the canonical-path check finds", detail);
    if (decision.kind != ResponseKind::File && decision.kind != ResponseKind::Redirect)
        return;

    // What is served or redirected to lies inside the root, once the system itself has resolved every
    // link, and has no hidden name below it.
    struct stat st { };
    check(!real.isEmpty() && ::stat(QFile::encodeName(real).constData(), &st) == 0, "the entry exists",
          detail);
    check(real == root.canonical || real.startsWith(root.canonical + u'/'), "it is inside the root", detail);
    check(!real.mid(root.canonical.size()).contains(u"/."), "no hidden entry is served", detail);
    if (decision.kind == ResponseKind::Redirect)
        return check(S_ISDIR(st.st_mode), "only a folder is redirected", detail);

    check(S_ISREG(st.st_mode), "only a regular file is served", detail);
    check(decision.entry.size == st.st_size
              && response.contains("\r\nContent-Length: " + QByteArray::number(qint64(st.st_size)) + "\r\n"),
          "the opened length and Content-Length are the file's", detail);
    struct stat served { };
    struct stat checked { };
    check(::fstat(decision.entry.file.get(), &served) == 0 && sameFile(served, st),
          "the server's look-up opens the file the local path names", detail);
    check(::fstat(canonical.file.get(), &checked) == 0 && sameFile(checked, st),
          "so does the canonical-path check", detail);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QList<Root> roots = makeTree();
    static const ServingRules rules(u"S"_s, {});
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const Root &root : roots)
        checkDecision(root, decideRequest(bytes, *root.served, rules, {u"192.168.1.23"_s, 80}));
    return 0;
}
