#include "http/Responses.h"

#include <QTest>

using namespace Qt::StringLiterals;
using vanterel::http::ContentRule;

class TestResponses : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void contentRule_data();
    void contentRule();
    void fileHeader_data();
    void fileHeader();
    void redirect_withoutHost_goesToAnEmptyAuthority();
};

static const QString Signature = u"Vanterel Version 1.1.0"_s;

void TestResponses::contentRule_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("cache");

    const QString jpeg = u"Content-Type: image/jpeg"_s;
    const QString html = u"Content-Type: text/html"_s;
    const QString playlist = u"Content-Type: audio/x-mpegurl"_s;
    const QString any = u"Content-Type: */*"_s;

    QTest::addRow("an upper-case JPG is a cached jpeg") << u"/Pic.JPG"_s << u"jpg"_s << jpeg << true;
    QTest::addRow("jpeg is the same type") << u"/pic.jpeg"_s << u"jpeg"_s << jpeg << true;
    QTest::addRow("bmp is a cached image")
        << u"/map.bmp"_s << u"bmp"_s << u"Content-Type: image/bmp"_s << true;
    QTest::addRow("no_static in a folder name switches the cache off")
        << u"/img/no_static/clock.png"_s << u"png"_s << u"Content-Type: image/png"_s << false;
    QTest::addRow("No_Static in mixed case in the file name switches it off")
        << u"/gauge_No_Static.gif"_s << u"gif"_s << u"Content-Type: image/gif"_s << false;
    QTest::addRow("no-static with a hyphen is no marker")
        << u"/no-static.gif"_s << u"gif"_s << u"Content-Type: image/gif"_s << true;
    QTest::addRow("htm is never cached") << u"/index.htm"_s << u"htm"_s << html << false;
    QTest::addRow("html is never cached") << u"/index.html"_s << u"html"_s << html << false;
    QTest::addRow("a path without a dot has no extension") << u"/readme"_s << QString() << any << false;
    QTest::addRow("a second dot makes the extension unknown")
        << u"/pic.jpeg.bak"_s << u"jpeg.bak"_s << any << false;
    QTest::addRow("a dot in a folder name counts first")
        << u"/v1.2/pic.jpg"_s << u"2/pic.jpg"_s << any << false;
    QTest::addRow("a dot right after another leaves a leading dot")
        << u"/pic..jpg"_s << u".jpg"_s << any << false;
    QTest::addRow("upper-case PLS is a playlist") << u"/list.PLS"_s << u"pls"_s << playlist << false;
    QTest::addRow("xpl is a playlist") << u"/list.xpl"_s << u"xpl"_s << playlist << false;
    QTest::addRow("m3u is a playlist") << u"/list.m3u"_s << u"m3u"_s << playlist << false;
    QTest::addRow("mp3 is audio") << u"/a.mp3"_s << u"mp3"_s << u"Content-Type: audio/mpeg"_s << false;
    QTest::addRow("zip is an archive")
        << u"/a.zip"_s << u"zip"_s << u"Content-Type: application/zip"_s << false;
    QTest::addRow("the marker in a page changes nothing")
        << u"/NO_STATIC.htm"_s << u"htm"_s << html << false;
    QTest::addRow("a trailing dot gives the empty extension") << u"/file."_s << QString() << any << false;
}

void TestResponses::contentRule()
{
    QFETCH(QString, path);
    QFETCH(QString, extension);
    QFETCH(QString, line);
    QFETCH(bool, cache);

    const ContentRule rule = vanterel::http::contentRuleFor(path);
    QCOMPARE(rule.extension, extension);
    QCOMPARE(rule.contentTypeLine, line);
    QCOMPARE(rule.cacheLine, cache);
}

void TestResponses::fileHeader_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QByteArray>("expected");

    QTest::addRow("an image ends with the cache line and an empty line")
        << u"/Pic.JPG"_s << qint64(5000)
        << QByteArray("HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\n"
                      "Content-Type: image/jpeg\r\nContent-Length: 5000\r\n"
                      "Cache-Control: max-age=3600, public\r\n\r\n");
    QTest::addRow("an empty file says length 0")
        << u"/empty"_s << qint64(0)
        << QByteArray("HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\n"
                      "Content-Type: */*\r\nContent-Length: 0\r\n\r\n");
    QTest::addRow("beyond 4 GiB is written in full")
        << u"/film.mp3"_s << qint64(5000000000)
        << QByteArray("HTTP/1.1 200 OK\r\nServer: Vanterel Version 1.1.0\r\n"
                      "Content-Type: audio/mpeg\r\nContent-Length: 5000000000\r\n\r\n");
}

void TestResponses::fileHeader()
{
    QFETCH(QString, path);
    QFETCH(qint64, length);
    QFETCH(QByteArray, expected);

    QCOMPARE(vanterel::http::fileHeader(Signature, vanterel::http::contentRuleFor(path), length),
             expected);
}

void TestResponses::redirect_withoutHost_goesToAnEmptyAuthority()
{
    // The exact bytes of the other short answers are checked on the wire.
    QCOMPARE(vanterel::http::redirectResponse(QString()),
             QByteArray("HTTP/1.1 303 See Other\r\nLocation: http:///index.htm\r\n\r\n"));
}

QTEST_GUILESS_MAIN(TestResponses)
#include "test_responses.moc"
