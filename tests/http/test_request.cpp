#include "http/Request.h"
#include "http/SiteGuard.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using vanterel::http::ParsedRequest;
using vanterel::http::RequestDecision;
using vanterel::http::ResponseKind;

class TestRequest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void isGetRequestLine_data();
    void isGetRequestLine();
    void parseRequest_data();
    void parseRequest();
    void mapToLocalPath_data();
    void mapToLocalPath();
    void decideRequest_data();
    void decideRequest();
    void decideRequest_host_data();
    void decideRequest_host();
    void decideRequest_fileHeaderFollowsTheRequestPath();
    void samplePanel_everyLinkServesAndIsBound();
    void isFromAnotherSite_data();
    void isFromAnotherSite();

private:
    QTemporaryDir m_dir;
    QString m_root;
};

static const QString Signature = u"Vanterel Version 1.1.0"_s;

static void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

void TestRequest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QDir base(m_dir.path());
    QVERIFY(base.mkpath(u"htdocs/pictures"_s));
    QVERIFY(base.mkpath(u"htdocs/v1.2"_s));
    m_root = base.filePath(u"htdocs"_s);
    writeFile(m_root + u"/index.htm"_s, "<p>panel</p>");
    writeFile(m_root + u"/b.htm"_s, "b");
    writeFile(m_root + u"/My Page.htm"_s, "mine");
    writeFile(m_root + u"/My%20Page.htm"_s, "the encoded name is never looked for");
    writeFile(m_root + u"/Pic.JPG"_s, "jpeg");
    writeFile(m_root + u"/pictures/index.htm"_s, "pictures");
    writeFile(m_root + u"/v1.2/pic.jpg"_s, "jpeg");
}

void TestRequest::isGetRequestLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isGet");

    QTest::addRow("GET with headers") << u"GET / HTTP/1.1\r\nHost: a\r\n\r\n"_s << true;
    QTest::addRow("GET with nothing after the version") << u"GET / HTTP/1.0"_s << true;
    QTest::addRow("GET with an empty path (two blanks)") << u"GET  HTTP/1.1"_s << true;
    QTest::addRow("the version may come on a later line") << u"GET /a\r\nb HTTP/1.1"_s << true;
    QTest::addRow("text ending right after HTTP/1.") << u"GET / HTTP/1."_s << false;
    QTest::addRow("one blank only: the path blank is the version blank") << u"GET HTTP/1.1"_s << false;
    QTest::addRow("lower-case get") << u"get / HTTP/1.1\r\n\r\n"_s << false;
    QTest::addRow("HEAD") << u"HEAD / HTTP/1.1\r\n\r\n"_s << false;
    QTest::addRow("HTTP/2.0") << u"GET / HTTP/2.0\r\n\r\n"_s << false;
    QTest::addRow("a blank before GET") << u" GET / HTTP/1.1\r\n"_s << false;
    QTest::addRow("the empty text") << QString() << false;
    QTest::addRow("the second half of a split request") << u"st: a\r\n\r\n"_s << false;
}

void TestRequest::isGetRequestLine()
{
    QFETCH(QString, text);
    QFETCH(bool, isGet);
    QCOMPARE(vanterel::http::isGetRequestLine(text), isGet);
    QCOMPARE(vanterel::http::parseRequest(text).isGet, isGet);
}

void TestRequest::parseRequest_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("requestPath");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("path");

    auto get = [](const char *path) {
        return u"GET "_s + QString::fromLatin1(path) + u" HTTP/1.1\r\nHost: h\r\n\r\n"_s;
    };
    QTest::addRow("a command on the root") << get("/?FIRE") << u"/?FIRE"_s << false << u"FIRE"_s << u"/"_s;
    QTest::addRow("a command on a page")
        << get("/index.htm?FIRE") << u"/index.htm?FIRE"_s << false << u"FIRE"_s << u"/index.htm"_s;
    QTest::addRow("a question mark alone is no command") << get("/?") << u"/?"_s << false << QString() << u"/"_s;
    QTest::addRow("only the first question mark splits")
        << get("/a?b?c") << u"/a?b?c"_s << false << u"b?c"_s << u"/a"_s;
    QTest::addRow("a question mark first leaves an empty path")
        << get("?FIRE") << u"?FIRE"_s << false << u"FIRE"_s << QString();
    QTest::addRow("dot-dot between slashes is refused with its command")
        << get("/a/../b.htm?FIRE") << u"/a/../b.htm?FIRE"_s << true << QString() << QString();
    QTest::addRow("a star in the path") << get("/x*y") << u"/x*y"_s << true << QString() << QString();
    QTest::addRow("a star in the command") << get("/?A*B") << u"/?A*B"_s << true << QString() << QString();
    QTest::addRow("dot between backslashes")
        << get("\\.\\b.htm") << u"\\.\\b.htm"_s << true << QString() << QString();
    QTest::addRow("dot-dot in the command is refused too")
        << get("/?a/../b") << u"/?a/../b"_s << true << QString() << QString();
    QTest::addRow("a trailing dot-dot is not refused here")
        << get("/a/..") << u"/a/.."_s << false << QString() << u"/a/.."_s;
    QTest::addRow("three dots are not dot-dot")
        << get("/.../b.htm") << u"/.../b.htm"_s << false << QString() << u"/.../b.htm"_s;
    QTest::addRow("an empty path") << u"GET  HTTP/1.1\r\n\r\n"_s << QString() << true << QString() << QString();
    QTest::addRow("%%20 stays encoded in the path")
        << get("/My%20Page.htm") << u"/My%20Page.htm"_s << false << QString() << u"/My%20Page.htm"_s;
    QTest::addRow("the path ends at the first HTTP/1.")
        << u"GET /a HTTP/1.x HTTP/1.1\r\n"_s << u"/a"_s << false << QString() << u"/a"_s;
}

void TestRequest::parseRequest()
{
    QFETCH(QString, text);
    QFETCH(QString, requestPath);
    QFETCH(bool, refused);
    QFETCH(QString, command);
    QFETCH(QString, path);

    const ParsedRequest request = vanterel::http::parseRequest(text);
    QVERIFY(request.isGet);
    QCOMPARE(request.requestPath, requestPath);
    QCOMPARE(request.refused, refused);
    QCOMPARE(request.command, command);
    QCOMPARE(request.path, path);
}

void TestRequest::mapToLocalPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("local");

    QTest::addRow("a page") << u"/index.htm"_s << u"/srv/htdocs"_s << u"/srv/htdocs/index.htm"_s;
    QTest::addRow("a root ending in a slash does not double it")
        << u"/index.htm"_s << u"/srv/htdocs/"_s << u"/srv/htdocs/index.htm"_s;
    QTest::addRow("backslashes are separators")
        << u"\\img\\a.png"_s << u"/srv/htdocs"_s << u"/srv/htdocs/img/a.png"_s;
    QTest::addRow("a slash and a backslash collapse")
        << u"/img/\\a.png"_s << u"/srv/htdocs"_s << u"/srv/htdocs/img/a.png"_s;
    QTest::addRow("three slashes collapse in one pass to two")
        << u"/img///a.png"_s << u"/srv/htdocs"_s << u"/srv/htdocs/img//a.png"_s;
    QTest::addRow("a doubled slash in the root collapses too")
        << u"/a"_s << u"/srv//htdocs"_s << u"/srv/htdocs/a"_s;
    QTest::addRow("%%20 becomes a blank")
        << u"/My%20Page.htm"_s << u"/srv/htdocs"_s << u"/srv/htdocs/My Page.htm"_s;
    QTest::addRow("nothing else is decoded")
        << u"/%2e%2e/%2F%25"_s << u"/srv/htdocs"_s << u"/srv/htdocs/%2e%2e/%2F%25"_s;
    QTest::addRow("a path without a leading slash runs on from the root")
        << u"-old/a.htm"_s << u"/srv/htdocs"_s << u"/srv/htdocs-old/a.htm"_s;
    QTest::addRow("the root's own backslash is a name character")
        << u"/a"_s << u"/srv/odd\\name"_s << u"/srv/odd\\name/a"_s;
}

void TestRequest::mapToLocalPath()
{
    QFETCH(QString, path);
    QFETCH(QString, root);
    QFETCH(QString, local);
    QCOMPARE(vanterel::http::mapToLocalPath(path, root), local);
}

void TestRequest::decideRequest_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<ResponseKind>("kind");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("served"); // below the root, for a 200

    auto get = [](const char *path) {
        return QByteArray("GET ") + path + " HTTP/1.1\r\nHost: 10.0.0.2\r\n\r\n";
    };
    QTest::addRow("/?FIRE presses FIRE and redirects")
        << get("/?FIRE") << ResponseKind::Redirect << u"FIRE"_s << QString();
    QTest::addRow("/index.htm?FIRE presses FIRE and serves the page")
        << get("/index.htm?FIRE") << ResponseKind::File << u"FIRE"_s << u"index.htm"_s;
    QTest::addRow("/nothing.htm?FIRE presses FIRE and is not found")
        << get("/nothing.htm?FIRE") << ResponseKind::NotFound << u"FIRE"_s << QString();
    QTest::addRow("/a/../b.htm?FIRE is refused unpressed")
        << get("/a/../b.htm?FIRE") << ResponseKind::NotFound << QString() << QString();
    QTest::addRow("/? presses nothing and redirects")
        << get("/?") << ResponseKind::Redirect << QString() << QString();
    QTest::addRow("/My%%20Page.htm serves the name with a blank")
        << get("/My%20Page.htm") << ResponseKind::File << QString() << u"My Page.htm"_s;
    QTest::addRow("a folder without a slash redirects")
        << get("/pictures") << ResponseKind::Redirect << QString() << QString();
    QTest::addRow("a slash after a file name is not found")
        << get("/b.htm/") << ResponseKind::NotFound << QString() << QString();
    QTest::addRow("names are case-sensitive")
        << get("/INDEX.HTM") << ResponseKind::NotFound << QString() << QString();
    QTest::addRow("an empty path is refused")
        << QByteArray("GET  HTTP/1.1\r\n\r\n") << ResponseKind::NotFound << QString() << QString();
    QTest::addRow("HEAD is not implemented")
        << QByteArray("HEAD / HTTP/1.1\r\n\r\n") << ResponseKind::NotImplemented << QString() << QString();
    QTest::addRow("the first half of a split request is served")
        << QByteArray("GET /index.htm?FIRE HTTP/1.1\r\nHo") << ResponseKind::File << u"FIRE"_s
        << u"index.htm"_s;
    QTest::addRow("the second half of a split request is not implemented")
        << QByteArray("st: 10.0.0.2\r\n\r\n") << ResponseKind::NotImplemented << QString() << QString();
    QTest::addRow("a NUL byte cannot cut the path short")
        << QByteArray("GET /index.htm\0.jpg HTTP/1.1\r\n\r\n", 33) << ResponseKind::NotFound << QString()
        << QString();
}

void TestRequest::decideRequest()
{
    QFETCH(QByteArray, bytes);
    QFETCH(ResponseKind, kind);
    QFETCH(QString, command);
    QFETCH(QString, served);

    const vanterel::http::FileSystemRoot root(m_root);
    const RequestDecision decision = vanterel::http::decideRequest(bytes, root, Signature);
    QCOMPARE(decision.kind, kind);
    QCOMPARE(decision.request.command, command);
    if (kind == ResponseKind::File) {
        const QString expected = QFileInfo(m_root + u'/' + served).canonicalFilePath();
        QVERIFY(!expected.isEmpty());
        QCOMPARE(decision.entry.resolvedPath, expected);
        QCOMPARE(decision.entry.size, QFileInfo(expected).size());
    } else if (kind == ResponseKind::Redirect) {
        QVERIFY(!decision.entry.resolvedPath.isEmpty());
    } else {
        QVERIFY(decision.entry.resolvedPath.isEmpty());
    }
    const QByteArray statusLines[] = {"HTTP/1.1 501 ", "HTTP/1.1 404 ", "HTTP/1.1 303 ", "HTTP/1.1 200 "};
    QVERIFY2(decision.response.startsWith(statusLines[int(kind)]), decision.response.constData());
}

void TestRequest::decideRequest_host_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("host");

    QTest::addRow("the header among others")
        << QByteArray("GET /pictures HTTP/1.1\r\nUser-Agent: t\r\nHost: panel\r\nAccept: */*\r\n\r\n")
        << u"panel"_s;
    QTest::addRow("no Host header") << QByteArray("GET / HTTP/1.0\r\n\r\n") << QString();
    QTest::addRow("a lower-case host header does not count")
        << QByteArray("GET / HTTP/1.1\r\nhost: panel\r\n\r\n") << QString();
    QTest::addRow("a Host header cut off before its line end")
        << QByteArray("GET / HTTP/1.1\r\nHost: panel") << QString();
    QTest::addRow("a second blank stays in the value")
        << QByteArray("GET / HTTP/1.1\r\nHost:  panel\r\n\r\n") << u" panel"_s;
}

void TestRequest::decideRequest_host()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, host);

    const vanterel::http::FileSystemRoot root(m_root);
    const RequestDecision decision = vanterel::http::decideRequest(bytes, root, Signature);
    QCOMPARE(decision.kind, ResponseKind::Redirect);
    QCOMPARE(decision.request.host, host);
    QCOMPARE(decision.response, vanterel::http::redirectResponse(host));
}

void TestRequest::decideRequest_fileHeaderFollowsTheRequestPath()
{
    // The content type comes from the path as requested, not from the file's
    // real name: "/v1.2/pic.jpg" is no jpeg, "/Pic.JPG" is.
    const vanterel::http::FileSystemRoot root(m_root);
    RequestDecision decision = vanterel::http::decideRequest(
        "GET /v1.2/pic.jpg?SNAP HTTP/1.1\r\n\r\n", root, Signature);
    QCOMPARE(decision.content.contentTypeLine, u"Content-Type: */*"_s);
    QCOMPARE(decision.response, QByteArray("HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\n"
                                           "Content-Type: */*\r\nContent-Length: 4\r\n\r\n"));

    decision = vanterel::http::decideRequest("GET /Pic.JPG HTTP/1.1\r\n\r\n", root, Signature);
    QCOMPARE(decision.response, QByteArray("HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\n"
                                           "Content-Type: image/jpeg\r\nContent-Length: 4\r\n"
                                           "Cache-Control: max-age=3600, public\r\n\r\n"));
}

void TestRequest::samplePanel_everyLinkServesAndIsBound()
{
    // The panel that ships in htdocs: every button must come back to a page
    // that exists, carry a command that keys.sample.dat binds, and every
    // picture must be served as a cached image.
    const QString htdocs = QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../htdocs");
    QFile page(htdocs + u"/index.htm"_s);
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(page.readAll());
    QFile keys(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../keys.sample.dat"));
    QVERIFY(keys.open(QIODevice::ReadOnly));
    const QByteArray bindings = keys.readAll();

    const vanterel::http::FileSystemRoot root(htdocs);
    int links = 0;
    for (const QRegularExpressionMatch &link :
         QRegularExpression(u"href=\"([^\"]*)\""_s).globalMatch(html)) {
        ++links;
        const QByteArray target = "/" + link.captured(1).toUtf8();
        const RequestDecision decision =
            vanterel::http::decideRequest("GET " + target + " HTTP/1.1\r\n\r\n", root, Signature);
        QVERIFY2(decision.kind == ResponseKind::File, target.constData());
        QVERIFY2(!decision.request.command.isEmpty(), target.constData());
        const QByteArray line = "\r\nkey\x1e" + decision.request.command.toUtf8() + "\x1e";
        QVERIFY2(bindings.contains(line), target.constData());
    }
    QVERIFY(links >= 2);

    int images = 0;
    for (const QRegularExpressionMatch &image :
         QRegularExpression(u"src=\"([^\"]*)\""_s).globalMatch(html)) {
        ++images;
        const QByteArray target = "/" + image.captured(1).toUtf8();
        const RequestDecision decision =
            vanterel::http::decideRequest("GET " + target + " HTTP/1.1\r\n\r\n", root, Signature);
        QVERIFY2(decision.kind == ResponseKind::File, target.constData());
        QVERIFY2(decision.content.cacheLine, target.constData());
    }
    QVERIFY(images >= 1);
}

void TestRequest::isFromAnotherSite_data()
{
    QTest::addColumn<QString>("headers");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("another");

    const QString host = u"192.168.1.20:8080"_s;
    QTest::addRow("no such headers (curl, scripts)") << u"Accept: */*"_s << host << false;
    QTest::addRow("cross-site") << u"Sec-Fetch-Site: cross-site"_s << host << true;
    QTest::addRow("same-site: another port of this host") << u"Sec-Fetch-Site: same-site"_s << host << true;
    QTest::addRow("same-origin") << u"Sec-Fetch-Site: same-origin"_s << host << false;
    QTest::addRow("none: typed or bookmarked") << u"Sec-Fetch-Site: none"_s << host << false;
    QTest::addRow("names in any case, values trimmed") << u"sec-fetch-SITE: \tCross-Site  "_s << host << true;
    QTest::addRow("our own origin") << u"Origin: http://192.168.1.20:8080"_s << host << false;
    QTest::addRow("no port is port 80, names in any case") << u"Origin: http://PANEL"_s << u"panel:80"_s << false;
    QTest::addRow("https defaults to 443") << u"Origin: https://panel"_s << u"panel"_s << true;
    QTest::addRow("another port") << u"Origin: http://192.168.1.20:8081"_s << host << true;
    QTest::addRow("another host") << u"Origin: http://evil.example"_s << host << true;
    QTest::addRow("an IPv6 origin") << u"Origin: http://[::1]:8080"_s << u"[::1]:8080"_s << false;
    QTest::addRow("Origin: null") << u"Origin: null"_s << host << true;
    QTest::addRow("an origin without a scheme") << u"Origin: 192.168.1.20:8080"_s << host << true;
    QTest::addRow("an origin but no Host header") << u"Origin: http://panel"_s << QString() << true;
    QTest::addRow("a matching Sec-Fetch-Site does not excuse a foreign origin")
        << u"Sec-Fetch-Site: same-origin\r\nOrigin: http://evil.example"_s << host << true;
    QTest::addRow("a header name inside another header's value")
        << u"Referer: http://x/?Origin: null"_s << host << false;
    QTest::addRow("after the blank line is no header") << u"\r\nOrigin: null"_s << host << false;
}

void TestRequest::isFromAnotherSite()
{
    QFETCH(QString, headers);
    QFETCH(QString, host);
    const QString text = u"GET /?FIRE HTTP/1.1\r\nHost: "_s + host + u"\r\n"_s + headers + u"\r\n\r\n"_s;
    QTEST(vanterel::http::isFromAnotherSite(text, host), "another");
}

QTEST_GUILESS_MAIN(TestRequest)
#include "test_request.moc"
