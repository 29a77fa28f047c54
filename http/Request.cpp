#include "http/Request.h"

#include "common/mdlStringFunctions.h"
#include "http/BuiltInPages.h"
#include "http/DeviceAccess.h"
#include "http/SiteGuard.h"

using namespace Qt::StringLiterals;

namespace vanterel::http {

namespace {

constexpr QStringView Get = u"GET ";
constexpr QStringView HttpVersion = u" HTTP/1.";

bool isRefusedPath(const QString &requestPath)
{
    if (requestPath.isEmpty() || requestPath.contains(u'*'))
        return true;
    QString slashed = requestPath;
    slashed.replace(u'\\', u'/');
    return slashed.contains(u"/./") || slashed.contains(u"/../");
}

} // namespace

QString requestText(const QByteArray &bytes)
{
    return QString::fromLocal8Bit(bytes);
}

bool isGetRequestLine(const QString &text)
{
    if (!text.startsWith(Get))
        return false;
    // The first " HTTP/1." after "GET " decides: a later one would need even
    // more text after it.
    const qsizetype at = text.indexOf(HttpVersion, Get.size());
    return at >= 0 && at + HttpVersion.size() < text.size();
}

ParsedRequest parseRequest(const QString &text)
{
    ParsedRequest request;
    request.isGet = isGetRequestLine(text);
    if (!request.isGet)
        return request;

    request.requestPath = mdlStringFunctions::MidBetween(text, Get.toString(), HttpVersion.toString(),
                                                         Qt::CaseSensitive, true);
    request.host = mdlStringFunctions::MidBetween(text, u"Host: "_s, u"\r\n"_s, Qt::CaseSensitive, true);

    request.refused = isRefusedPath(request.requestPath);
    if (request.refused)
        return request;

    const qsizetype query = request.requestPath.indexOf(u'?');
    if (query >= 0) {
        request.command = request.requestPath.mid(query + 1);
        request.path = request.requestPath.left(query);
    } else {
        request.path = request.requestPath;
    }
    return request;
}

QString mapToLocalPath(const QString &path, const QString &documentRoot)
{
    QString local = path;
    local.replace(u'\\', u'/');
    local.prepend(documentRoot);
    // One pass from the left: "///" becomes "//", which the file system reads
    // as one separator anyway.
    local.replace(u"//"_s, u"/"_s);
    local.replace(u"%20"_s, u" "_s);
    return local;
}

ServingRules::ServingRules(QString serverSignature, GuardRules guard)
    : signature(std::move(serverSignature))
    , guard(std::move(guard))
    , notFound(notFoundResponse(signature))
    , notImplemented(notImplementedResponse(signature))
{
}

namespace {

// The one place where a command is weighed against where it came from.
void weighCommand(RequestDecision &decision, const ServingRules &rules, const ConnectionInfo &connection)
{
    const ParsedRequest &request = decision.request;
    if (rules.devices && DeviceAccess::isPairingQuery(request.command)) {
        // The connect window's URL, opened by a device: never a command. A
        // page cannot learn the code, so only the Host is checked.
        decision.device = DeviceAccess::normalized(connection.peerAddress);
        decision.command = hostRefusal(request.host, rules.guard).isEmpty()
                && rules.devices->check(decision.device, request.command) == DeviceAccess::Verdict::Paired
            ? CommandAction::Paired
            : CommandAction::StaleCode;
        return;
    }
    decision.refusal = commandRefusal(decision.text, request.host, rules.guard);
    if (decision.refusal.isEmpty() && rules.devices && rules.devices->onlyApproved()) {
        // The first request of a new device asks the user, once.
        const QString device = DeviceAccess::normalized(connection.peerAddress);
        if (rules.devices->check(device, request.command) == DeviceAccess::Verdict::NotApproved)
            decision.refusal
                = QStringLiteral(": device ") + device + QStringLiteral(" is not allowed to press keys");
    }
    decision.command = decision.refusal.isEmpty() ? CommandAction::Run : CommandAction::Refused;
}

} // namespace

RequestDecision decideRequest(const QByteArray &requestBytes, ServedRoot &root, const ServingRules &rules,
                              const ConnectionInfo &connection)
{
    RequestDecision decision;
    decision.text = requestText(requestBytes);
    decision.request = parseRequest(decision.text);
    const ParsedRequest &request = decision.request;
    if (!request.isGet) {
        decision.kind = ResponseKind::NotImplemented;
        decision.response = rules.notImplemented;
        return decision;
    }
    if (request.refused) {
        decision.kind = ResponseKind::NotFound;
        decision.response = rules.notFound;
        return decision;
    }
    if (!request.command.isEmpty())
        weighCommand(decision, rules, connection);

    decision.localPath = mapToLocalPath(request.path, root.documentRoot());
    if (rules.builtIns && request.path.startsWith(BuiltInPages::Prefix)) {
        if (const std::optional<BuiltInPage> page = rules.builtIns->page(request.path)) {
            decision.kind = ResponseKind::BuiltIn;
            decision.response = builtInResponse(rules.signature, page->contentType, page->body);
        } else {
            decision.kind = ResponseKind::NotFound;
            decision.response = rules.notFound;
        }
        return decision;
    }
    decision.entry = root.open(request.path, decision.localPath);
    switch (decision.entry.kind) {
    case EntryKind::Missing:
        decision.kind = ResponseKind::NotFound;
        decision.response = rules.notFound;
        break;
    case EntryKind::Folder:
        decision.kind = ResponseKind::Redirect;
        decision.response = redirectResponse(request.host);
        break;
    case EntryKind::File:
        decision.kind = ResponseKind::File;
        decision.response = fileHeader(rules.signature, contentRuleFor(request.path), decision.entry.size);
        break;
    }
    return decision;
}

} // namespace vanterel::http
