#include "http/Responses.h"

#include "common/mdlStringFunctions.h"

#include <array>

using namespace Qt::StringLiterals;

namespace vanterel::http {

namespace {

struct ContentTypeRow {
    QStringView extension;
    QStringView line;
    bool image; // images may be cached by the browser
};

// Looked up in this order; the first equal extension wins.
constexpr std::array<ContentTypeRow, 12> ContentTypes{{
    {u"jpg", u"Content-Type: image/jpeg", true},
    {u"jpeg", u"Content-Type: image/jpeg", true},
    {u"gif", u"Content-Type: image/gif", true},
    {u"png", u"Content-Type: image/png", true},
    {u"bmp", u"Content-Type: image/bmp", true},
    {u"htm", u"Content-Type: text/html", false},
    {u"html", u"Content-Type: text/html", false},
    {u"zip", u"Content-Type: application/zip", false},
    {u"mp3", u"Content-Type: audio/mpeg", false},
    {u"m3u", u"Content-Type: audio/x-mpegurl", false},
    {u"pls", u"Content-Type: audio/x-mpegurl", false},
    {u"xpl", u"Content-Type: audio/x-mpegurl", false},
}};

constexpr QStringView AnyType = u"Content-Type: */*";
constexpr QStringView CacheLine = u"Cache-Control: max-age=3600, public";
// In a path, in any letter case, it keeps an image out of the browser's cache
// (pictures that change, such as a gauge redrawn by the user's own tools).
constexpr QStringView NoStaticMarker = u"NO_STATIC";
constexpr QStringView CrLf = u"\r\n";

// The wire is 8-bit text in the locale's encoding: every length that the
// server counts is the length of these bytes, never of the QString.
QByteArray onWire(const QString &text)
{
    return text.toLocal8Bit();
}

} // namespace

QString extensionOf(const QString &requestPath)
{
    return mdlStringFunctions::RightOfFirst(requestPath, u"."_s, Qt::CaseSensitive, true).toLower();
}

ContentRule contentRuleFor(const QString &requestPath)
{
    ContentRule rule;
    rule.extension = extensionOf(requestPath);
    rule.contentTypeLine = AnyType.toString();
    for (const ContentTypeRow &row : ContentTypes) {
        if (row.extension != rule.extension)
            continue;
        rule.contentTypeLine = row.line.toString();
        rule.cacheLine = row.image && !requestPath.toUpper().contains(NoStaticMarker);
        break;
    }
    return rule;
}

QByteArray fileHeader(const QString &serverSignature, const ContentRule &rule, qint64 length)
{
    // The length is the file's real 64-bit length, also for 2 GiB and more:
    // the byte counters of a connection are 64-bit, browsers read any
    // Content-Length, and a large recording or archive that the user put in
    // the folder is expected to download, not to vanish behind a 404.
    QString text;
    text.append(u"HTTP/1.1 200 OK").append(CrLf);
    text.append(u"Server: ").append(serverSignature).append(CrLf);
    text.append(rule.contentTypeLine).append(CrLf);
    text.append(u"Content-Length: ").append(QString::number(length)).append(CrLf);
    if (rule.cacheLine)
        text.append(CacheLine).append(CrLf);
    text.append(CrLf);
    return onWire(text);
}

QByteArray builtInResponse(const QString &serverSignature, const QByteArray &contentType,
                           const QByteArray &body)
{
    QString text;
    text.append(u"HTTP/1.1 200 OK").append(CrLf);
    text.append(u"Server: ").append(serverSignature).append(CrLf);
    text.append(u"Content-Type: ").append(QString::fromLatin1(contentType)).append(CrLf);
    text.append(u"Content-Length: ").append(QString::number(body.size())).append(CrLf);
    text.append(u"Cache-Control: no-store").append(CrLf);
    text.append(CrLf);
    return onWire(text) + body;
}

bool lacksViewportTag(QByteArrayView firstBytes, bool wholePage)
{
    const QByteArray text = firstBytes.toByteArray().toLower();
    if (!wholePage && !text.contains("</head") && !text.contains("<body"))
        return false; // the tag may still come
    for (const char *tag : {"name=\"viewport\"", "name='viewport'", "name=viewport"}) {
        if (text.contains(tag))
            return false;
    }
    return true;
}

QByteArray redirectResponse(const QString &host)
{
    // The host goes back as the client sent it, port included, so that the
    // browser stays on the address and port it already uses.
    QString text;
    text.append(u"HTTP/1.1 303 See Other").append(CrLf);
    text.append(u"Location: http://").append(host).append(u"/index.htm").append(CrLf);
    text.append(CrLf);
    return onWire(text);
}

namespace {
// A response that is a status line and the server's name, nothing more.
QByteArray bareResponse(QStringView statusLine, const QString &serverSignature)
{
    QString text;
    text.append(statusLine).append(CrLf);
    text.append(u"Server: ").append(serverSignature).append(CrLf);
    text.append(CrLf);
    return onWire(text);
}
} // namespace

QByteArray notFoundResponse(const QString &serverSignature)
{
    return bareResponse(u"HTTP/1.1 404 Not Found", serverSignature);
}

QByteArray notImplementedResponse(const QString &serverSignature)
{
    return bareResponse(u"HTTP/1.1 501 Not Implemented", serverSignature);
}

} // namespace vanterel::http
