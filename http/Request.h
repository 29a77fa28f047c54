#pragma once

#include "http/DocumentRoot.h"
#include "http/Responses.h"

#include <QByteArray>
#include <QString>

// Deciding what a request gets, with no socket, log or key press in it. The
// connection code runs the steps in order and writes its trace lines and runs
// the command between them:
//
//   text = requestText(bytes)                      -> "N - Got Data: " + text
//   request = parseRequest(text)
//     !request.isGet                               -> 501, nothing else
//                                                  -> "N - Requested File: " + request.requestPath
//     request.refused                              -> 404, no command
//     !request.command.isEmpty()                   -> AddMsg "Recieved command " + command,
//                                                     press the keys,
//                                                     "N - Pressed keys for command " + command
//   localPath = mapToLocalPath(request.path, root.documentRoot())
//                                                  -> "N - Complete Path: " + localPath
//   entry = lookUpPath(request.path, localPath, root)
//     Missing -> 404; Folder -> redirectResponse(request.host);
//     File    -> AddMsg "Transfering: " + request.path, openServedFile(entry.resolvedPath),
//                fileHeader(signature, contentRuleFor(request.path), file.size())
//                                                  -> "N - Sent Data: " + response text
//
// decideRequest() runs all of it at once for tests and fuzzing.
namespace vanterel::http {

enum class ResponseKind {
    NotImplemented, // 501
    NotFound,       // 404
    Redirect,       // 303
    File,           // 200
};

// What the request text says, before the document root is looked at.
struct ParsedRequest {
    // The text is a GET request line for HTTP/1.x; when false nothing else
    // is filled in and the answer is 501.
    bool isGet = false;
    // Everything between "GET " and " HTTP/1.", query included; the text of
    // the "Requested File" trace line.
    QString requestPath;
    // The value of the "Host: " header up to its CR LF, port included; empty
    // when there is none.
    QString host;
    // The path is empty or holds "*", "/./" or "/../" (with "\" taken as
    // "/"): the answer is 404 and no command runs.
    bool refused = false;
    // The text after the first "?"; empty when there is none, and when refused.
    QString command;
    // The request path cut before its first "?": the path that is served,
    // logged as "Transfering" and given to contentRuleFor(). "%20" is still
    // encoded here. Empty when refused.
    QString path;
};

// The received bytes as text, in the locale's 8-bit encoding (UTF-8 on Linux).
QString requestText(const QByteArray &bytes);

// True when the text begins with "GET " and, after those four characters,
// holds " HTTP/1." followed by at least one more character (the whole-text
// pattern "GET * HTTP/1.?*", across line ends).
bool isGetRequestLine(const QString &text);

ParsedRequest parseRequest(const QString &text);

// The request path put behind the document root: "/" and "\" are both
// separators, a doubled separator is collapsed once from left to right, and
// "%20" becomes a blank. Nothing else is decoded.
QString mapToLocalPath(const QString &path, const QString &documentRoot);

// What the local path names, for the request path it was mapped from: a
// request path with a hidden component is Missing before the file system is
// asked; everything else is up to the view (containment, hidden entries
// below the root, system files).
PathEntry lookUpPath(const QString &path, const QString &localPath, const DocumentRootView &root);

struct RequestDecision {
    ResponseKind kind = ResponseKind::NotImplemented;
    QString text;
    ParsedRequest request;
    // Empty for 501 and for a refused path.
    QString localPath;
    // For a file: what to open and how long it was when looked at.
    PathEntry entry;
    // For a file: the content type and cache rule.
    ContentRule content;
    // The whole response, or for a file its header (made with entry.size).
    QByteArray response;
};

RequestDecision decideRequest(const QByteArray &requestBytes, const DocumentRootView &root,
                              const QString &serverSignature);

} // namespace vanterel::http
