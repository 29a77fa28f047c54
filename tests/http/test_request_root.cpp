#include "http/DocumentRoot.h"
#include "http/Request.h"

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

// What may leave the document root and what may not, on a real folder tree:
//
//   base/secret.htm                 outside, must never be served
//   base/htdocsx.htm                runs on from the root's name
//   base/htdocs-old/old.htm         a sibling whose name starts like the root's
//   base/.local/htdocs/index.htm    a root below a hidden folder
//   base/root-link -> htdocs        a root reached through a link
//   base/htdocs/index.htm, sub/page.htm
//   base/htdocs/link-in.htm -> sub/page.htm, link-in-dir -> sub
//   base/htdocs/link-out.htm -> ../secret.htm, link-out-dir -> .., link-abs-out -> base/secret.htm
//   base/htdocs/link-to-hidden.htm -> .hidden.htm, dangling -> nowhere.htm
//   base/htdocs/.hidden.htm, .dotdir/x.htm, fifo (a named pipe)
class TestRequestRoot : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void lookUp_data();
    void lookUp();
    void decideRequest_data();
    void decideRequest();
    void lookUp_fileOf2GiB_keepsItsLength();
    void openServedFile_data();
    void openServedFile();

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
    for (const QString &folder :
         {u"htdocs/sub"_s, u"htdocs/.dotdir"_s, u"htdocs-old"_s, u".local/htdocs"_s}) {
        QVERIFY(base.mkpath(folder));
    }
    writeFile(at(u"secret.htm"_s), "secret");
    writeFile(at(u"htdocsx.htm"_s), "beside the root");
    writeFile(at(u"htdocs-old/old.htm"_s), "old");
    writeFile(at(u".local/htdocs/index.htm"_s), "local");
    writeFile(at(u"htdocs/index.htm"_s), "index");
    writeFile(at(u"htdocs/sub/page.htm"_s), "page");
    writeFile(at(u"htdocs/.hidden.htm"_s), "hidden");
    writeFile(at(u"htdocs/.dotdir/x.htm"_s), "hidden too");
    makeLink(u"htdocs"_s, at(u"root-link"_s));
    makeLink(u"sub/page.htm"_s, at(u"htdocs/link-in.htm"_s));
    makeLink(u"sub"_s, at(u"htdocs/link-in-dir"_s));
    makeLink(u"../secret.htm"_s, at(u"htdocs/link-out.htm"_s));
    makeLink(u".."_s, at(u"htdocs/link-out-dir"_s));
    makeLink(at(u"secret.htm"_s), at(u"htdocs/link-abs-out"_s));
    makeLink(u".hidden.htm"_s, at(u"htdocs/link-to-hidden.htm"_s));
    makeLink(u"nowhere.htm"_s, at(u"htdocs/dangling"_s));
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
    QTest::addRow("a sibling whose name starts like the root's")
        << u"htdocs"_s << u"htdocs-old/old.htm"_s << missing << QString();
    QTest::addRow("a name that runs on from the root's")
        << u"htdocs"_s << u"htdocsx.htm"_s << missing << QString();
    QTest::addRow("a root ending in a slash and a path beginning with dot-dot")
        << u"htdocs/"_s << u"htdocs/../secret.htm"_s << missing << QString();
    QTest::addRow("dot-dot into the sibling")
        << u"htdocs"_s << u"htdocs/../htdocs-old/old.htm"_s << missing << QString();
    QTest::addRow("a trailing dot-dot") << u"htdocs"_s << u"htdocs/.."_s << missing << QString();
    QTest::addRow("a link that stays inside")
        << u"htdocs"_s << u"htdocs/link-in.htm"_s << file << u"htdocs/sub/page.htm"_s;
    QTest::addRow("a folder link that stays inside")
        << u"htdocs"_s << u"htdocs/link-in-dir/page.htm"_s << file << u"htdocs/sub/page.htm"_s;
    QTest::addRow("a link that leads out") << u"htdocs"_s << u"htdocs/link-out.htm"_s << missing << QString();
    QTest::addRow("an absolute link that leads out")
        << u"htdocs"_s << u"htdocs/link-abs-out"_s << missing << QString();
    QTest::addRow("a folder link that leads out")
        << u"htdocs"_s << u"htdocs/link-out-dir"_s << missing << QString();
    QTest::addRow("a file through a folder link that leads out")
        << u"htdocs"_s << u"htdocs/link-out-dir/secret.htm"_s << missing << QString();
    QTest::addRow("a dangling link") << u"htdocs"_s << u"htdocs/dangling"_s << missing << QString();
    QTest::addRow("a hidden file") << u"htdocs"_s << u"htdocs/.hidden.htm"_s << missing << QString();
    QTest::addRow("a file in a hidden folder") << u"htdocs"_s << u"htdocs/.dotdir/x.htm"_s << missing << QString();
    QTest::addRow("a hidden folder") << u"htdocs"_s << u"htdocs/.dotdir"_s << missing << QString();
    QTest::addRow("a link to a hidden file")
        << u"htdocs"_s << u"htdocs/link-to-hidden.htm"_s << missing << QString();
    QTest::addRow("a slash after a file name") << u"htdocs"_s << u"htdocs/index.htm/"_s << missing << QString();
    QTest::addRow("a named pipe is a system file") << u"htdocs"_s << u"htdocs/fifo"_s << missing << QString();
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

    if (local.endsWith(u"fifo") && !m_haveFifo)
        QSKIP("mkfifo is not possible in this temporary folder");
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

    const ResponseKind file = ResponseKind::File;
    const ResponseKind redirect = ResponseKind::Redirect;
    const ResponseKind notFound = ResponseKind::NotFound;

    QTest::addRow("a page") << u"htdocs"_s << QByteArray("/index.htm") << file;
    QTest::addRow("a sibling reached without a leading slash")
        << u"htdocs"_s << QByteArray("-old/old.htm") << notFound;
    QTest::addRow("a name that runs on from the root's") << u"htdocs"_s << QByteArray("x.htm") << notFound;
    QTest::addRow("dot-dot first after a root ending in a slash")
        << u"htdocs/"_s << QByteArray("../secret.htm") << notFound;
    QTest::addRow("dot-dot and a backslash after a root ending in a slash")
        << u"htdocs/"_s << QByteArray("..\\secret.htm") << notFound;
    QTest::addRow("a trailing dot-dot") << u"htdocs"_s << QByteArray("/..") << notFound;
    QTest::addRow("a trailing dot-dot after a backslash") << u"htdocs"_s << QByteArray("\\..") << notFound;
    QTest::addRow("a trailing dot-dot inside a folder") << u"htdocs"_s << QByteArray("/sub/..") << notFound;
    QTest::addRow("a trailing dot-dot with a command") << u"htdocs"_s << QByteArray("/..?FIRE") << notFound;
    QTest::addRow("a link that stays inside") << u"htdocs"_s << QByteArray("/link-in.htm") << file;
    QTest::addRow("a folder link that stays inside redirects")
        << u"htdocs"_s << QByteArray("/link-in-dir") << redirect;
    QTest::addRow("a link that leads out") << u"htdocs"_s << QByteArray("/link-out.htm") << notFound;
    QTest::addRow("a folder link that leads out does not redirect")
        << u"htdocs"_s << QByteArray("/link-out-dir/") << notFound;
    QTest::addRow("a file through a folder link that leads out")
        << u"htdocs"_s << QByteArray("/link-out-dir/secret.htm") << notFound;
    QTest::addRow("a hidden file") << u"htdocs"_s << QByteArray("/.hidden.htm") << notFound;
    QTest::addRow("a hidden folder") << u"htdocs"_s << QByteArray("/.dotdir/") << notFound;
    QTest::addRow("a file in a hidden folder, by backslash")
        << u"htdocs"_s << QByteArray("\\.dotdir\\x.htm") << notFound;
    QTest::addRow("a link to a hidden file") << u"htdocs"_s << QByteArray("/link-to-hidden.htm") << notFound;
    QTest::addRow("a named pipe") << u"htdocs"_s << QByteArray("/fifo?FIRE") << notFound;
    QTest::addRow("a root below a hidden folder") << u".local/htdocs"_s << QByteArray("/index.htm") << file;
    QTest::addRow("the root of a root below a hidden folder")
        << u".local/htdocs"_s << QByteArray("/") << redirect;
    QTest::addRow("an empty root serves nothing, not the file system")
        << QString() << QByteArray("/etc/hostname") << notFound;
}

void TestRequestRoot::decideRequest()
{
    QFETCH(QString, root);
    QFETCH(QByteArray, path);
    QFETCH(ResponseKind, kind);

    if (path.startsWith("/fifo") && !m_haveFifo)
        QSKIP("mkfifo is not possible in this temporary folder");
    const FileSystemRoot view(root.isEmpty() ? QString() : at(root));
    const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: panel\r\n\r\n";
    const vanterel::http::RequestDecision decision =
        vanterel::http::decideRequest(request, view, u"Vanterel Version 1.1.0"_s);
    QCOMPARE(decision.kind, kind);
}

void TestRequestRoot::lookUp_fileOf2GiB_keepsItsLength()
{
    // A sparse file: it takes no room on disk, but its length is 2 GiB + 1.
    const qint64 length = (qint64(1) << 31) + 1;
    const QString path = at(u"htdocs/big.zip"_s);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (!file.resize(length))
            QSKIP("This file system cannot hold a sparse file of 2 GiB");
    }
    const FileSystemRoot root(at(u"htdocs"_s));
    const vanterel::http::RequestDecision decision =
        vanterel::http::decideRequest("GET /big.zip HTTP/1.1\r\n\r\n", root, u"S"_s);
    QFile::remove(path);

    QCOMPARE(decision.kind, ResponseKind::File);
    QCOMPARE(decision.entry.size, length);
    QVERIFY2(decision.response.contains("\r\nContent-Length: 2147483649\r\n"),
             decision.response.constData());
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
    QFile file;
    QCOMPARE(vanterel::http::openServedFile(at(path), file), opens);
    QCOMPARE(file.isOpen(), opens);
    if (opens) {
        QCOMPARE(file.size(), size);
        QCOMPARE(file.readAll().size(), size);
    }
}

QTEST_GUILESS_MAIN(TestRequestRoot)
#include "test_request_root.moc"
