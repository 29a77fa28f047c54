#include "http/DocumentRoot.h"
#include "http/Request.h"
#include "http/ServedRoot.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using vanterel::http::EntryKind;
using vanterel::http::FileSystemRoot;
using vanterel::http::ResponseKind;

// The document root on a real folder tree, for what the generated traversal
// corpus (tests/robust) does not cover: other roots, dot-dot that stays
// inside, and opening the file that is served.
//
//   base/htdocs/index.htm, sub/page.htm, link-in.htm -> sub/page.htm, fifo
//   base/.local/htdocs/index.htm    a root below a hidden folder
//   base/root-link -> htdocs        a root reached through a link
class TestRequestRoot : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void lookUp_data();
    void lookUp();
    void decideRequest_data();
    void decideRequest();
    void openServedFile_data();
    void openServedFile();
    void servedRoot_data();
    void servedRoot();

private:
    QString at(const QString &relative) const { return m_base + u'/' + relative; }

    QTemporaryDir m_dir;
    QString m_base;
    bool m_haveFifo = false;
};

static void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

static void makeLink(const QString &target, const QString &link)
{
    QVERIFY2(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0,
             qPrintable(link));
}

void TestRequestRoot::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_base = m_dir.path();
    QDir base(m_base);
    QVERIFY(base.mkpath(u"htdocs/sub"_s));
    QVERIFY(base.mkpath(u".local/htdocs"_s));
    writeFile(at(u".local/htdocs/index.htm"_s), "local");
    writeFile(at(u"htdocs/index.htm"_s), "index");
    writeFile(at(u"htdocs/sub/page.htm"_s), "page");
    makeLink(u"htdocs"_s, at(u"root-link"_s));
    makeLink(u"sub/page.htm"_s, at(u"htdocs/link-in.htm"_s));
    m_haveFifo = ::mkfifo(QFile::encodeName(at(u"htdocs/fifo"_s)).constData(), 0600) == 0;
}

void TestRequestRoot::lookUp_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("local"); // below base
    QTest::addColumn<EntryKind>("kind");
    QTest::addColumn<QString>("resolved"); // below base, for a file or folder

    const EntryKind file = EntryKind::File;
    const EntryKind folder = EntryKind::Folder;
    const EntryKind missing = EntryKind::Missing;

    QTest::addRow("a file") << u"htdocs"_s << u"htdocs/index.htm"_s << file << u"htdocs/index.htm"_s;
    QTest::addRow("the root itself") << u"htdocs"_s << u"htdocs"_s << folder << u"htdocs"_s;
    QTest::addRow("the root with a slash") << u"htdocs"_s << u"htdocs/"_s << folder << u"htdocs"_s;
    QTest::addRow("a root given with a slash") << u"htdocs/"_s << u"htdocs/sub"_s << folder << u"htdocs/sub"_s;
    QTest::addRow("dot-dot that stays inside")
        << u"htdocs"_s << u"htdocs/sub/../index.htm"_s << file << u"htdocs/index.htm"_s;
    QTest::addRow("a NUL in the path")
        << u"htdocs"_s << u"htdocs/index.htm\0.jpg"_s << missing << QString();
    QTest::addRow("a root below a hidden folder serves")
        << u".local/htdocs"_s << u".local/htdocs/index.htm"_s << file << u".local/htdocs/index.htm"_s;
    QTest::addRow("a root reached through a link serves")
        << u"root-link"_s << u"root-link/index.htm"_s << file << u"htdocs/index.htm"_s;
    QTest::addRow("a root reached through a link keeps its real path inside")
        << u"root-link"_s << u"htdocs/sub/page.htm"_s << file << u"htdocs/sub/page.htm"_s;
    QTest::addRow("a missing root serves nothing")
        << u"no-such-root"_s << u"htdocs/index.htm"_s << missing << QString();
}

void TestRequestRoot::lookUp()
{
    QFETCH(QString, root);
    QFETCH(QString, local);
    QFETCH(EntryKind, kind);
    QFETCH(QString, resolved);

    const vanterel::http::PathEntry entry = FileSystemRoot(at(root)).lookUp(at(local));
    QCOMPARE(entry.kind, kind);
    if (kind == EntryKind::Missing)
        QVERIFY(entry.resolvedPath.isEmpty());
    else
        QCOMPARE(entry.resolvedPath, QFileInfo(at(resolved)).canonicalFilePath());
}

void TestRequestRoot::decideRequest_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<ResponseKind>("kind");

    // Only what the generated traversal corpus does not try: roots other
    // than the plain one, the one below it and the one through a link.
    QTest::addRow("the root of a root below a hidden folder redirects")
        << u".local/htdocs"_s << QByteArray("/") << ResponseKind::Redirect;
    QTest::addRow("an empty root serves nothing, not the file system")
        << QString() << QByteArray("/etc/hostname") << ResponseKind::NotFound;
}

void TestRequestRoot::decideRequest()
{
    QFETCH(QString, root);
    QFETCH(QByteArray, path);
    QFETCH(ResponseKind, kind);

    const FileSystemRoot view(root.isEmpty() ? QString() : at(root));
    const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: panel\r\n\r\n";
    const vanterel::http::RequestDecision decision =
        vanterel::http::decideRequest(request, view, u"Vanterel Version 1.1.0"_s);
    QCOMPARE(decision.kind, kind);
}

void TestRequestRoot::openServedFile_data()
{
    QTest::addColumn<QString>("path"); // below base
    QTest::addColumn<bool>("opens");
    QTest::addColumn<qint64>("size");

    QTest::addRow("a regular file") << u"htdocs/sub/page.htm"_s << true << qint64(4);
    QTest::addRow("a named pipe, without waiting for a writer") << u"htdocs/fifo"_s << false << qint64(0);
    QTest::addRow("a link put where the file was") << u"htdocs/link-in.htm"_s << false << qint64(0);
    QTest::addRow("a folder") << u"htdocs/sub"_s << false << qint64(0);
    QTest::addRow("nothing") << u"htdocs/nothing.htm"_s << false << qint64(0);
}

void TestRequestRoot::openServedFile()
{
    QFETCH(QString, path);
    QFETCH(bool, opens);
    QFETCH(qint64, size);

    if (path.endsWith(u"fifo") && !m_haveFifo)
        QSKIP("mkfifo is not possible in this temporary folder");
    qint64 got = -1;
    const vanterel::http::FileHandle file = vanterel::http::openServedFile(at(path), got);
    QCOMPARE(bool(file), opens);
    if (opens) {
        QCOMPARE(got, size);
        char buffer[16];
        QCOMPARE(::read(file.get(), buffer, sizeof buffer), ssize_t(size));
    }
}

// The server's own look-up: the kernel resolves beneath a descriptor of the
// root, and a root text that the mapping would change is left to the
// canonical-path check.
void TestRequestRoot::servedRoot_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("path");
    QTest::addColumn<EntryKind>("kind");
    QTest::addColumn<bool>("fallback");

    QTest::addRow("a file") << u"htdocs"_s << u"/sub/page.htm"_s << EntryKind::File << false;
    QTest::addRow("the root") << u"htdocs"_s << u"/"_s << EntryKind::Folder << false;
    QTest::addRow("a root given with a slash") << u"htdocs/"_s << u"/sub"_s << EntryKind::Folder << false;
    QTest::addRow("a link inside") << u"htdocs"_s << u"/link-in.htm"_s << EntryKind::File << false;
    QTest::addRow("a pipe") << u"htdocs"_s << u"/fifo"_s << EntryKind::Missing << false;
    QTest::addRow("a root below a hidden folder") << u".local/htdocs"_s << u"/index.htm"_s << EntryKind::File << false;
    QTest::addRow("a root through a link") << u"root-link"_s << u"/index.htm"_s << EntryKind::File << false;
    QTest::addRow("a name running on from the root") << u"htdocs"_s << u"-old/x"_s << EntryKind::Missing << true;
    QTest::addRow("a missing root") << u"no-such-root"_s << u"/index.htm"_s << EntryKind::Missing << false;
    QTest::addRow("a root the mapping changes") << u"root-link//"_s << u"/index.htm"_s << EntryKind::File << true;
}

void TestRequestRoot::servedRoot()
{
    QFETCH(QString, root);
    QFETCH(QString, path);
    QFETCH(EntryKind, kind);
    QFETCH(bool, fallback);

    vanterel::http::ServedRoot served(at(root));
    const vanterel::http::OpenedEntry entry =
        served.open(path, vanterel::http::mapToLocalPath(path, served.documentRoot()));
    QCOMPARE(entry.kind, kind);
    QCOMPARE(bool(entry.file), kind == EntryKind::File);
    QCOMPARE(served.usedFallback(), fallback);
}

QTEST_GUILESS_MAIN(TestRequestRoot)
#include "test_request_root.moc"
