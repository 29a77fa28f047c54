// A generated corpus of request paths that try to leave the document root:
// dot segments, encodings that must stay literal, links, a pipe, a sibling
// whose name starts like the root's, absolute and very long paths, control
// characters. Whatever the path, nothing outside the canonical root is served
// or redirected to, and no request hangs. Every path is a data row of its
// own, named after its family, so a single failing path shows itself.
//
// The tree (every file says where it lies: "IN:" inside the root, "OUT:"
// outside it, "HIDDEN:" for names a browser must never get):
//
//   base/secret.htm, htdocsx.htm, etc/passwd, htdocs-old/old.htm    OUT
//   base/htdocs/index.htm, My Page.htm, sub/page.htm,
//               sub/deeper/leaf.htm, %2e%2e/secret.htm, a%2fb.htm   IN
//   base/htdocs/.hidden.htm, .dotdir/x.htm                          HIDDEN
//   base/htdocs/link-in.htm -> sub/page.htm, link-in-dir -> sub
//   base/htdocs/link-out.htm -> ../secret.htm, link-out-dir -> ..,
//               link-abs-out -> base/secret.htm, link-sibling -> ../htdocs-old
//   base/htdocs/link-to-hidden.htm -> .hidden.htm, link-to-fifo -> fifo,
//               dangling -> nowhere, fifo (a named pipe)
//   base/root-link -> htdocs
#include "RobustSupport.h"
#include "common/Settings.h"
#include "http/DocumentRoot.h"
#include "http/Request.h"
#include "http/RequestHandler.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/RecordingLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vanterel;
using namespace vanterel::robust;
using vanterel::http::ResponseKind;

namespace {

// What a row must get. Served and Redirected name the exact outcome; Inside
// only asks that whatever is served or redirected to lies inside the root.
enum class Expect { NotFound, Served, Redirected, Inside };

struct Row {
    QByteArray family;
    QByteArray root; // key into the roots below
    QByteArray path;
    Expect expect;
    QByteArray content; // for Served: the file's content
};

// The document-root texts under test, relative to base.
const QList<QPair<QByteArray, QString>> Roots = {
    {"plain", QStringLiteral("htdocs")},
    {"ending in a separator", QStringLiteral("htdocs/")},
    {"through a link", QStringLiteral("root-link")},
};

// Readable in a row name: control and high bytes escaped, long runs cut.
QByteArray printable(const QByteArray &path)
{
    QByteArray out;
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f)
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    if (out.size() > 120)
        out = out.left(60) + "...(" + QByteArray::number(path.size()) + " bytes)..." + out.right(40);
    return out;
}

class Corpus {
public:
    const std::vector<Row> &rows() const { return m_rows; }

    void add(const QByteArray &family, const QByteArray &path, Expect expect, const QByteArray &content = {},
             const QList<QByteArray> &roots = {})
    {
        for (const auto &[key, text] : Roots) {
            Q_UNUSED(text);
            if (!roots.isEmpty() && !roots.contains(key))
                continue;
            const QByteArray id = key + '\n' + path;
            if (m_seen.contains(id))
                continue;
            m_seen.insert(id);
            m_rows.push_back({family, key, path, expect, content});
        }
    }

    Corpus()
    {
        const QList<QByteArray> twoRoots = {"plain", "ending in a separator"};
        // Every way to write a dot segment, behind every kind of prefix and
        // in front of targets outside the root: all refused or missing.
        const QList<QByteArray> prefixes = {"", "/", "\\", "/sub/deeper/", "\\sub\\", "/link-in-dir/"};
        const QList<QByteArray> dots = {"..", ".", "...", "../..", "..\\..", "../../..", ". .", ".. ", "..;",
                                        "..%00", "....//..", ".%20."};
        const QList<QByteArray> separators = {"/", "\\", "//", "\\\\", "/\\", "\\/"};
        const QList<QByteArray> outside = {"secret.htm", "htdocs-old/old.htm", "htdocs/index.htm", ""};
        for (const QByteArray &prefix : prefixes)
            for (const QByteArray &dot : dots)
                for (const QByteArray &separator : separators)
                    for (const QByteArray &target : outside)
                        add("dot segments", prefix + dot + separator + target, Expect::NotFound, {}, twoRoots);
        for (const QByteArray &prefix : prefixes + QList<QByteArray>{"/sub/", "/nothing/", "//"})
            for (const QByteArray &dot : dots)
                add("trailing dot segment", prefix + dot, Expect::NotFound);

        // Encoded dots and separators are not decoded: they name literal
        // entries, which exist only inside the root.
        const QList<QByteArray> encoded = {"%2e%2e", "%2E%2E", "%2e.", ".%2e", "%2e", "%252e%252e", "%c0%ae%c0%ae",
                                           "%u002e%u002e", "..%2f", "..%2F", "..%5c", "..%5C", "%2e%2e%2f",
                                           "%2e%2e%5c", "..%c0%af", "..%255c", "%2f", "%5c", "%2F%2e%2e"};
        const QList<QByteArray> encodedSeparators = {"/", "%2f", "\\", "%5c"};
        for (const QByteArray &prefix : {QByteArray("/"), QByteArray("/sub/"), QByteArray("")})
            for (const QByteArray &code : encoded)
                for (const QByteArray &separator : encodedSeparators)
                    for (const QByteArray &target : {QByteArray("secret.htm"), QByteArray("etc/passwd"), QByteArray("")})
                        add("encoded forms", prefix + code + separator + target, Expect::Inside);
        add("encoded forms", "/%2e%2e/secret.htm", Expect::Served, "IN:literal %2e%2e");
        add("encoded forms", "/%2e%2e/", Expect::Redirected);
        add("encoded forms", "/a%2fb.htm", Expect::Served, "IN:a%2fb");
        add("encoded forms", "/a/b.htm", Expect::NotFound);
        add("encoded forms", "/%2e%2e%2fsecret.htm", Expect::NotFound);

        // "%20" is the one decoding, to a blank; it never makes a dot segment.
        add("%20 forms", "/My%20Page.htm", Expect::Served, "IN:My Page");
        add("%20 forms", "/My%20Page.htm?FIRE", Expect::Served, "IN:My Page");
        add("%20 forms", "/My%2520Page.htm", Expect::NotFound);
        // A bare blank is part of the path: " HTTP/1." is looked for after it.
        add("%20 forms", "/My Page.htm", Expect::Served, "IN:My Page");
        for (const QByteArray &blankDot : {QByteArray("%20.."), QByteArray("..%20"), QByteArray("%20.%20"),
                                           QByteArray(".%20"), QByteArray("%20"), QByteArray("%20%20..%20%20")})
            for (const QByteArray &separator : {QByteArray("/"), QByteArray("\\"), QByteArray("%20/")})
                for (const QByteArray &target : {QByteArray("secret.htm"), QByteArray("etc/passwd"), QByteArray("")})
                    add("%20 forms", "/" + blankDot + separator + target, Expect::NotFound);

        // Hidden names, however they are reached.
        for (const QByteArray &prefix : {QByteArray("/"), QByteArray("\\"), QByteArray("//"), QByteArray("/sub/../")})
            for (const QByteArray &name : {QByteArray(".hidden.htm"), QByteArray(".dotdir/x.htm"), QByteArray(".dotdir/"),
                                           QByteArray(".dotdir"), QByteArray(".dotdir\\x.htm"), QByteArray("."),
                                           QByteArray(".htaccess"), QByteArray("..hidden.htm"), QByteArray("link-to-hidden.htm"),
                                           QByteArray("sub/.hidden.htm")})
                for (const QByteArray &query : {QByteArray(""), QByteArray("?FIRE"), QByteArray("?")})
                    add("dotfiles", prefix + name + query, Expect::NotFound);

        // Links: in is fine, out never.
        for (const QByteArray &lead : {QByteArray("/"), QByteArray("\\"), QByteArray("//")})
            for (const QByteArray &query : {QByteArray(""), QByteArray("?FIRE")}) {
                add("links in", lead + "link-in.htm" + query, Expect::Served, "IN:page");
                add("links in", lead + "link-in-dir/page.htm" + query, Expect::Served, "IN:page");
                add("links in", lead + "link-in-dir\\deeper\\leaf.htm" + query, Expect::Served, "IN:leaf");
                add("links in", lead + "link-in-dir" + query, Expect::Redirected);
                add("links in", lead + "link-in-dir/" + query, Expect::Redirected);
                // Out through base and back into the root: inside once resolved.
                add("links in", lead + "link-out-dir/htdocs/index.htm" + query, Expect::Served, "IN:index");
                for (const QByteArray &out :
                     {QByteArray("link-out.htm"), QByteArray("link-abs-out"), QByteArray("link-out-dir"),
                      QByteArray("link-out-dir/"), QByteArray("link-out-dir/secret.htm"),
                      QByteArray("link-out-dir/htdocs-old/old.htm"), QByteArray("link-out-dir/etc/passwd"),
                      QByteArray("link-sibling/old.htm"), QByteArray("link-sibling/"), QByteArray("link-sibling"),
                      QByteArray("link-out-dir\\secret.htm"), QByteArray("dangling"), QByteArray("root-link/index.htm")})
                    add("links out", lead + out + query, Expect::NotFound);
            }

        // A named pipe: never served, and never waited on.
        for (const QByteArray &pipe : {QByteArray("/fifo"), QByteArray("/fifo?FIRE"), QByteArray("\\fifo"),
                                       QByteArray("//fifo"), QByteArray("/link-to-fifo"), QByteArray("/link-to-fifo?X"),
                                       QByteArray("/link-in-dir/../fifo"), QByteArray("/fifo/"), QByteArray("fifo")})
            add("pipe", pipe, Expect::NotFound);

        // Paths that run on from the root's own name when glued to it.
        for (const QByteArray &sibling : {QByteArray("-old/old.htm"), QByteArray("-old/"), QByteArray("-old"),
                                          QByteArray("-old\\old.htm"), QByteArray("x.htm"), QByteArray("x.htm?FIRE"),
                                          QByteArray("-old/old.htm?FIRE"), QByteArray("-old//old.htm"),
                                          QByteArray("/../htdocs-old/old.htm"), QByteArray("\\..\\htdocs-old\\old.htm"),
                                          QByteArray("/-old/old.htm"), QByteArray("-link/index.htm")})
            add("sibling named like the root", sibling, Expect::NotFound);

        // Absolute paths stay below the root, where nothing of the kind exists.
        const QByteArray base = QFile::encodeName(m_base);
        for (const QByteArray &absolute :
             {QByteArray("/etc/passwd"), QByteArray("//etc/passwd"), QByteArray("///etc/passwd"),
              QByteArray("\\\\etc\\passwd"), QByteArray("file:///etc/passwd"), QByteArray("http://evil/../secret.htm"),
              QByteArray("http://evil/secret.htm"), QByteArray("C:\\secret.htm"), QByteArray("C:/secret.htm"),
              QByteArray("~/secret.htm"), QByteArray("/proc/self/cwd/secret.htm"), QByteArray("/proc/self/root/etc/passwd"),
              QByteArray("/dev/zero"), QByteArray("/dev/stdin"), QByteArray("$HOME/secret.htm")})
            add("absolute paths", absolute, Expect::NotFound);
        add("absolute paths", base + "/secret.htm", Expect::NotFound);
        add("absolute paths", base + "/htdocs-old/old.htm", Expect::NotFound);
        add("absolute paths", "/" + base + "/secret.htm", Expect::NotFound);

        // Very long paths: deep, wide, and past every limit of a name or a path.
        for (const int depth : {100, 1000, 3000})
            add("very long paths", "/" + QByteArray("a/").repeated(depth) + "index.htm", Expect::NotFound);
        for (const int width : {255, 256, 4096, 70000})
            add("very long paths", "/" + QByteArray(width, 'n'), Expect::NotFound);
        add("very long paths", QByteArray("/sub").repeated(2000), Expect::NotFound);
        add("very long paths", "/" + QByteArray(300, '.'), Expect::NotFound);
        add("very long paths", "/" + QByteArray("%2e").repeated(2000), Expect::NotFound);
        add("very long paths", "/sub/" + QByteArray("../").repeated(500) + "secret.htm", Expect::NotFound);
        add("very long paths", "/sub/" + QByteArray("..\\").repeated(500) + "secret.htm", Expect::NotFound);
        add("very long paths", "/" + QByteArray("link-in-dir/deeper/../").repeated(200) + "page.htm", Expect::NotFound);
        add("very long paths", "/" + QByteArray("sub/./").repeated(500) + "page.htm", Expect::NotFound);
        add("very long paths", "/index.htm?" + QByteArray(100000, 'C'), Expect::Served, "IN:index");

        // Control characters (no NUL) and bytes that are not UTF-8.
        for (int c = 1; c < 0x20; ++c) {
            const QByteArray ch(1, char(c));
            for (const QByteArray &path : {"/" + ch + "index.htm", "/index.htm" + ch, "/sub" + ch + "/page.htm",
                                           ch + "/index.htm", "/.." + ch + "/secret.htm", "/" + ch + "../secret.htm",
                                           "/.." + ch, "/sub/" + ch + "..\\" + ch + "..\\secret.htm"})
                add("control characters", path, Expect::NotFound);
        }
        for (const QByteArray &path : {QByteArray("/\x7f"), QByteArray("/index.htm\x7f"), QByteArray("/\xff..\xff/secret.htm"),
                                       QByteArray("/\xc0\xae\xc0\xae/secret.htm"), QByteArray("/\xe2\x80\xae..")})
            add("control characters", path, Expect::NotFound);

        // The harness itself: what must be served is served.
        add("inside", "/index.htm", Expect::Served, "IN:index");
        add("inside", "/", Expect::Redirected);
        add("inside", "\\sub\\deeper\\leaf.htm", Expect::Served, "IN:leaf");
        add("inside", "//sub//page.htm", Expect::Served, "IN:page");
        add("inside", "/sub", Expect::Redirected);
    }

    static void setBase(const QString &base) { m_base = base; }

private:
    static inline QString m_base;
    std::vector<Row> m_rows;
    QSet<QByteArray> m_seen;
};

const char *expectName(Expect e)
{
    switch (e) {
    case Expect::NotFound: return "404";
    case Expect::Served: return "served";
    case Expect::Redirected: return "303";
    case Expect::Inside: return "inside";
    }
    return "?";
}

} // namespace

Q_DECLARE_METATYPE(Expect)

class TestTraversal : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_base;
    QString m_canonicalRoot;
    std::unique_ptr<Corpus> m_corpus;

    QString at(const QString &relative) const { return m_base + u'/' + relative; }
    QString rootText(const QByteArray &key) const
    {
        for (const auto &[k, text] : Roots)
            if (k == key)
                return at(text);
        return {};
    }

    static bool writeFile(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    // Empty when what the decision serves or redirects to lies inside the
    // canonical root, below no hidden name; else what is wrong.
    QString outsideReason(const http::RequestDecision &decision) const
    {
        if (decision.kind != ResponseKind::File && decision.kind != ResponseKind::Redirect)
            return {};
        const QString resolved = QFileInfo(decision.entry.resolvedPath).canonicalFilePath();
        if (resolved.isEmpty() || resolved != decision.entry.resolvedPath)
            return QStringLiteral("resolved path is not canonical: ") + decision.entry.resolvedPath;
        if (resolved != m_canonicalRoot && !resolved.startsWith(m_canonicalRoot + u'/'))
            return QStringLiteral("outside the root: ") + resolved;
        if (http::hasHiddenComponent(QStringView(resolved).mid(m_canonicalRoot.size())))
            return QStringLiteral("a hidden name: ") + resolved;
        const QFileInfo info(resolved);
        if (decision.kind == ResponseKind::Redirect && !info.isDir())
            return QStringLiteral("redirect for something that is not a folder: ") + resolved;
        if (decision.kind == ResponseKind::File) {
            QFile file;
            if (!http::openServedFile(resolved, file))
                return QStringLiteral("served file does not open: ") + resolved;
            if (!file.readAll().startsWith("IN:"))
                return QStringLiteral("served file is not one of the root's own: ") + resolved;
        }
        return {};
    }

    // Every row, or every n-th row whose request fits in one arrival (a
    // longer one may reach the server in pieces, each answered on its own).
    void addRows(int every)
    {
        QTest::addColumn<QByteArray>("root");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Expect>("expect");
        QTest::addColumn<QByteArray>("content");
        int n = 0;
        for (const Row &row : m_corpus->rows()) {
            if (n++ % every != 0 || (every > 1 && row.path.size() > 16384))
                continue;
            QTest::addRow("%s, root %s, #%d: %s (%s)", row.family.constData(), row.root.constData(), n,
                          printable(row.path).constData(), expectName(row.expect))
                << row.root << row.path << row.expect << row.content;
        }
    }

    // The decision, checked against the row; an empty text when it holds.
    QString check(const http::RequestDecision &decision, Expect expect, const QByteArray &content) const
    {
        if (const QString reason = outsideReason(decision); !reason.isEmpty())
            return reason;
        switch (expect) {
        case Expect::NotFound:
            if (decision.kind != ResponseKind::NotFound)
                return QStringLiteral("not a 404: answered %1 with %2").arg(int(decision.kind)).arg(decision.entry.resolvedPath);
            break;
        case Expect::Redirected:
            if (decision.kind != ResponseKind::Redirect)
                return QStringLiteral("no redirect: answered %1").arg(int(decision.kind));
            break;
        case Expect::Served: {
            if (decision.kind != ResponseKind::File)
                return QStringLiteral("not served: answered %1").arg(int(decision.kind));
            QFile file(decision.entry.resolvedPath);
            if (!file.open(QIODevice::ReadOnly) || file.readAll() != content)
                return QStringLiteral("served the wrong file: ") + decision.entry.resolvedPath;
            break;
        }
        case Expect::Inside:
            break;
        }
        return {};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_base = m_dir.path();
        QDir base(m_base);
        for (const QString &folder : {QStringLiteral("htdocs/sub/deeper"), QStringLiteral("htdocs/.dotdir"),
                                      QStringLiteral("htdocs/%2e%2e"), QStringLiteral("htdocs-old"),
                                      QStringLiteral("etc")})
            QVERIFY(base.mkpath(folder));
        const QList<QPair<QString, QByteArray>> files = {
            {QStringLiteral("secret.htm"), "OUT:secret"},
            {QStringLiteral("htdocsx.htm"), "OUT:runs on from the root's name"},
            {QStringLiteral("etc/passwd"), "OUT:passwd"},
            {QStringLiteral("htdocs-old/old.htm"), "OUT:sibling"},
            {QStringLiteral("htdocs/index.htm"), "IN:index"},
            {QStringLiteral("htdocs/My Page.htm"), "IN:My Page"},
            {QStringLiteral("htdocs/sub/page.htm"), "IN:page"},
            {QStringLiteral("htdocs/sub/deeper/leaf.htm"), "IN:leaf"},
            {QStringLiteral("htdocs/%2e%2e/secret.htm"), "IN:literal %2e%2e"},
            {QStringLiteral("htdocs/a%2fb.htm"), "IN:a%2fb"},
            {QStringLiteral("htdocs/.hidden.htm"), "HIDDEN:file"},
            {QStringLiteral("htdocs/.dotdir/x.htm"), "HIDDEN:folder"},
        };
        for (const auto &[name, content] : files)
            QVERIFY2(writeFile(at(name), content), qPrintable(name));
        const QList<QPair<QString, QString>> links = {
            {QStringLiteral("sub/page.htm"), QStringLiteral("htdocs/link-in.htm")},
            {QStringLiteral("sub"), QStringLiteral("htdocs/link-in-dir")},
            {QStringLiteral("../secret.htm"), QStringLiteral("htdocs/link-out.htm")},
            {QStringLiteral(".."), QStringLiteral("htdocs/link-out-dir")},
            {at(QStringLiteral("secret.htm")), QStringLiteral("htdocs/link-abs-out")},
            {QStringLiteral("../htdocs-old"), QStringLiteral("htdocs/link-sibling")},
            {QStringLiteral(".hidden.htm"), QStringLiteral("htdocs/link-to-hidden.htm")},
            {QStringLiteral("fifo"), QStringLiteral("htdocs/link-to-fifo")},
            {QStringLiteral("nowhere"), QStringLiteral("htdocs/dangling")},
            {QStringLiteral("htdocs"), QStringLiteral("root-link")},
        };
        for (const auto &[target, link] : links)
            QVERIFY2(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at(link)).constData()) == 0,
                     qPrintable(link));
        if (::mkfifo(QFile::encodeName(at(QStringLiteral("htdocs/fifo"))).constData(), 0600) != 0)
            QSKIP("cannot make a named pipe in the temporary folder");

        m_canonicalRoot = QFileInfo(at(QStringLiteral("htdocs"))).canonicalFilePath();
        QVERIFY(!m_canonicalRoot.isEmpty());
        Corpus::setBase(m_base);
        m_corpus = std::make_unique<Corpus>();
        QVERIFY2(m_corpus->rows().size() >= 2000, qPrintable(QString::number(m_corpus->rows().size())));
    }

    void decision_staysInsideTheRoot_data() { addRows(1); }

    void decision_staysInsideTheRoot()
    {
        QFETCH(QByteArray, root);
        QFETCH(QByteArray, path);
        QFETCH(Expect, expect);
        QFETCH(QByteArray, content);

        const http::FileSystemRoot view(rootText(root));
        const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: panel\r\n\r\n";
        const http::RequestDecision decision = http::decideRequest(request, view, QStringLiteral("Vanterel"));
        const QString problem = check(decision, expect, content);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // A sample of the corpus through the connection code and real sockets:
    // the same answer as the decision, the root's own bytes, and an end.
    void overTcp_sameAnswerAndNoHang_data() { addRows(17); }

    void overTcp_sameAnswerAndNoHang()
    {
        QFETCH(QByteArray, root);
        QFETCH(QByteArray, path);
        QFETCH(Expect, expect);
        QFETCH(QByteArray, content);

        Settings settings;
        settings.ServerPort = testing::freePort();
        settings.DocumentRoot = rootText(root);
        settings.ServerSignature = QStringLiteral("Vanterel");
        testing::RecordingLog log;
        http::Server server(settings, log);
        http::RequestHandler handler(server, settings, log, nullptr);
        handler.install();
        QVERIFY(server.StartListening());

        const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: panel\r\n\r\n";
        const http::RequestDecision decision =
            http::decideRequest(request, http::FileSystemRoot(settings.DocumentRoot), settings.ServerSignature);
        const QString problem = check(decision, expect, content);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        const int fd = connectNew(quint16(settings.ServerPort));
        QVERIFY(fd >= 0);
        QVERIFY(sendAll(fd, request));
        bool ended = false;
        const QByteArray got = readUntilClosed(fd, 5000, &ended);
        ::close(fd);
        QVERIFY2(ended, "the server never finished the answer");
        QVERIFY2(got.startsWith(decision.response), got.left(200).constData());
        if (decision.kind == ResponseKind::File) {
            const QByteArray body = got.mid(decision.response.size());
            QVERIFY2(body.startsWith("IN:"), body.left(100).constData());
            if (expect == Expect::Served)
                QCOMPARE(body, content);
        } else {
            QCOMPARE(got, decision.response);
        }
    }
};

QTEST_GUILESS_MAIN(TestTraversal)
#include "tst_traversal.moc"
