#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The four responses the server sends, byte for byte. Every response is
// 8-bit text with CR LF line ends (RFC 9112, section 2.1); the server closes
// the connection after each one, so none of them needs a body length but the
// file header.
namespace vanterel::http {

// How a served file is announced: chosen from the request path alone.
struct ContentRule {
    // Lower-cased text after the first "." of the request path.
    QString extension;
    // The whole header line, "Content-Type: image/png" and the like.
    QString contentTypeLine;
    // Whether "Cache-Control: max-age=3600, public" is sent.
    bool cacheLine = false;
};

// The text after the first "." of the request path (the path without its
// query), in lower case; empty when the path has no ".". Because the first
// "." counts, "/v1.2/pic.jpg" has the extension "2/pic.jpg".
QString extensionOf(const QString &requestPath);

// The content type from the extension, first matching row of the table, and
// the cache line for images unless the path holds "NO_STATIC" in any case.
ContentRule contentRuleFor(const QString &requestPath);

// The header of a 200 response; the file's bytes follow it.
QByteArray fileHeader(const QString &serverSignature, const ContentRule &rule, qint64 length);

// A whole 200 response for a page of the program's own: never kept in a
// cache, since it follows the binding table.
QByteArray builtInResponse(const QString &serverSignature, const QByteArray &contentType,
                           const QByteArray &body);

// Whether a page served from a file lacks the viewport meta tag, judged from
// its first bytes: without the tag a phone lays the page out for a desktop
// screen and waits 300 ms after each tap to see whether a second one zooms.
// Only a page whose head ends within those bytes (or that is wholly in them)
// is judged; false otherwise.
bool lacksViewportTag(QByteArrayView firstBytes, bool wholePage);

// The 303 response for any folder: always to /index.htm at the root of the
// host the client named. No "Server: " line.
QByteArray redirectResponse(const QString &host);

// 404: missing, hidden, outside the document root, or a refused path.
QByteArray notFoundResponse(const QString &serverSignature);

// 501: anything that is not a GET request line for HTTP/1.x.
QByteArray notImplementedResponse(const QString &serverSignature);

} // namespace vanterel::http
