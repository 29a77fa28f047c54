#pragma once

#include "http/Responses.h"
#include "http/ServedRoot.h"
#include "http/SiteGuard.h"

#include <QByteArray>
#include <QString>

// Deciding what a request gets, with no socket, log or key press in it. The
// server calls decideRequest() once for every arrival (RequestHandler) and
// then, from the decision alone, writes its trace lines, runs the command and
// starts the response, in this order:
//
//   "N - Got Data: " + text
//   !request.isGet                      -> response (501); nothing else
//   "N - Requested File: " + request.requestPath
//   request.refused                     -> response (404); no command
//   command Run                         -> AddMsg "Recieved command " + request.command,
//                                          press its keys,
//                                          "N - Pressed keys for command " + request.command
//   command Refused                     -> AddMsg "Refused command " + request.command + refusal
//   command Paired                      -> AddMsg "Allowed " + device + " to press keys (QR code)"
//   command StaleCode                   -> AddMsg "Refused the code from " + device + ": it is not ..."
//   "N - Complete Path: " + localPath
//   kind NotFound or Redirect           -> response
//   kind BuiltIn                        -> AddMsg "Transfering: " + request.path, response
//   kind File                           -> AddMsg "Transfering: " + request.path,
//                                          response (the header), then entry.file piece by piece
//   each response sent                  -> "N - Sent Data: " + response
//
// Tests and the fuzzer call decideRequest() too: what they check is what the
// server does.
namespace vanterel::http {

enum class ResponseKind {
    NotImplemented, // 501
    NotFound,       // 404
    Redirect,       // 303
    File,           // 200
    BuiltIn,        // 200, a page of the program's own (BuiltInPages.h), whole in the response
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

// Where a request came from, as its connection knows it.
struct ConnectionInfo {
    // The client's IP address as text: "192.168.1.23", "::1". A client that
    // reached the dual-stack listener over IPv4 is written the IPv4 way.
    QString peerAddress;
    // The port the connection was accepted on.
    quint16 localPort = 0;
};

class BuiltInPages;
class DeviceAccess;

// What every decision of one server shares, made once.
struct ServingRules {
    ServingRules(QString serverSignature, GuardRules guard);

    QString signature;
    // Which requests may run their command (SiteGuard.h).
    GuardRules guard;
    // When set: only the devices it allows run commands, and the connect
    // window's one-time code allows the device that sends it.
    DeviceAccess *devices = nullptr;
    // When set: the pages under /.vanterel/.
    BuiltInPages *builtIns = nullptr;
    // The same bytes every time.
    QByteArray notFound;
    QByteArray notImplemented;
};

enum class CommandAction {
    None,      // no command, or a refused path
    Run,       // press its keys
    Refused,   // the guard refused it: the refusal says why
    Paired,    // the connect window's one-time code: the device is allowed now
    StaleCode, // a one-time code that is not the current one
};

struct RequestDecision {
    ResponseKind kind = ResponseKind::NotImplemented;
    // The received bytes as text.
    QString text;
    ParsedRequest request;
    CommandAction command = CommandAction::None;
    // For Refused: the rest of the log line after "Refused command X".
    QString refusal;
    // For Paired and StaleCode: the device that sent the code.
    QString device;
    // Empty for 501 and for a refused path.
    QString localPath;
    // For a file: open, with its length when opened.
    OpenedEntry entry;
    // The whole response, or for a file its header (made with entry.size).
    QByteArray response;
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

// Everything the server does for one arrival of bytes, decided: the response,
// whether the command runs, and for a file the file itself, opened through
// the root. The connection is where the bytes came from. With rules.devices
// set it is asked about the device, which may ask the user or use up the
// one-time code; without it the decision has no effect beyond its result.
RequestDecision decideRequest(const QByteArray &requestBytes, ServedRoot &root, const ServingRules &rules,
                              const ConnectionInfo &connection);

} // namespace vanterel::http
