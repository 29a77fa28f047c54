#include "http/Request.h"

#include "common/mdlStringFunctions.h"
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

ServingRules::ServingRules(QString serverSignature, bool allowOtherSites)
    : signature(std::move(serverSignature))
    , allowOtherSites(allowOtherSites)
    , notFound(notFoundResponse(signature))
    , notImplemented(notImplementedResponse(signature))
{
}

RequestDecision decideRequest(const QByteArray &requestBytes, ServedRoot &root, const ServingRules &rules,
                              [[maybe_unused]] const ConnectionInfo &connection)
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
    // The one place where a command is weighed against where it came from.
    if (!request.command.isEmpty())
        decision.command = !rules.allowOtherSites && isFromAnotherSite(decision.text, request.host)
            ? CommandAction::Refused
            : CommandAction::Run;

    decision.localPath = mapToLocalPath(request.path, root.documentRoot());
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
