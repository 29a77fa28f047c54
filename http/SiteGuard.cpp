#include "http/SiteGuard.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QString>

#include <optional>
#include <utility>

namespace vanterel::http {

namespace {

struct Authority {
    QString name; // lower case; an IPv6 address keeps its brackets
    int port = -1;
};

// "name", "name:port", "[v6]" or "[v6]:port"; nothing when the port is not
// a number from 0 to 65535 or the brackets do not close.
std::optional<Authority> parseHostPort(QStringView text, int defaultPort)
{
    qsizetype nameEnd = text.size();
    if (text.startsWith(u'[')) {
        nameEnd = text.indexOf(u']') + 1;
        if (nameEnd == 0 || (nameEnd < text.size() && text[nameEnd] != u':'))
            return std::nullopt;
    } else if (const qsizetype colon = text.lastIndexOf(u':'); colon >= 0) {
        nameEnd = colon;
    }
    Authority server{text.left(nameEnd).toString().toLower(), defaultPort};
    if (server.name.isEmpty())
        return std::nullopt;
    if (nameEnd < text.size()) {
        bool ok = false;
        server.port = text.mid(nameEnd + 1).toInt(&ok);
        if (!ok || server.port < 0 || server.port > 65535)
            return std::nullopt;
    }
    return server;
}

// The server an Origin value names; nothing for "null" and anything that is
// not "scheme://host[:port]".
std::optional<Authority> originServer(QStringView origin)
{
    const qsizetype schemeEnd = origin.indexOf(u"://");
    if (schemeEnd <= 0)
        return std::nullopt;
    const QStringView scheme = origin.left(schemeEnd);
    int defaultPort = -1; // no other scheme serves our pages
    if (scheme.compare(u"http", Qt::CaseInsensitive) == 0)
        defaultPort = 80;
    else if (scheme.compare(u"https", Qt::CaseInsensitive) == 0)
        defaultPort = 443;
    QStringView rest = origin.mid(schemeEnd + 3);
    if (rest.endsWith(u'/')) // not sent by browsers, but harmless
        rest.chop(1);
    return parseHostPort(rest, defaultPort);
}

struct Headers {
    std::optional<QStringView> fetchSite;
    std::optional<QStringView> origin;
    std::optional<QStringView> referer;
    std::optional<QStringView> userAgent;
};

// The first of each header the guard reads; a browser sends one of each.
// Header names are matched without regard to case, values trimmed; only the
// lines before the blank line count.
Headers guardHeaders(QStringView requestText)
{
    Headers headers;
    const std::pair<QStringView, std::optional<QStringView> Headers::*> wanted[] = {
        {u"Sec-Fetch-Site", &Headers::fetchSite},
        {u"Origin", &Headers::origin},
        {u"Referer", &Headers::referer},
        {u"User-Agent", &Headers::userAgent},
    };
    qsizetype lineStart = requestText.indexOf(u'\n');
    while (lineStart >= 0 && lineStart + 1 < requestText.size()) {
        ++lineStart;
        const qsizetype lineEnd = requestText.indexOf(u'\n', lineStart);
        QStringView line = requestText.mid(lineStart, lineEnd < 0 ? -1 : lineEnd - lineStart);
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.isEmpty())
            break; // the headers end here
        const qsizetype colon = line.indexOf(u':');
        if (colon > 0) {
            const QStringView name = line.left(colon).trimmed();
            for (const auto &[wantedName, field] : wanted) {
                if (!(headers.*field) && name.compare(wantedName, Qt::CaseInsensitive) == 0)
                    headers.*field = line.mid(colon + 1).trimmed();
            }
        }
        lineStart = lineEnd;
    }
    return headers;
}

bool fromAnotherSite(const Headers &headers, QStringView host)
{
    if (headers.fetchSite
        && (headers.fetchSite->compare(u"cross-site", Qt::CaseInsensitive) == 0
            || headers.fetchSite->compare(u"same-site", Qt::CaseInsensitive) == 0))
        return true;
    if (!headers.origin)
        return false;
    const std::optional<Authority> from = originServer(*headers.origin);
    const std::optional<Authority> to = parseHostPort(host.trimmed(), 80);
    return !from || !to || from->name != to->name || from->port != to->port;
}

// The name without a closing dot ("panel." and "panel" are one name to DNS).
QString withoutClosingDot(QString name)
{
    if (name.endsWith(u'.'))
        name.chop(1);
    return name;
}

bool isIpLiteral(const QString &name)
{
    if (name.startsWith(u'['))
        return name.endsWith(u']') && !QHostAddress(name.mid(1, name.size() - 2)).isNull();
    // A browser writes any IPv4 address in its dotted form before it asks;
    // a name made of digits and dots only is never looked up in DNS.
    return !QHostAddress(name).isNull();
}

bool namesThisMachine(const Authority &host, const QStringList &names)
{
    const QString name = withoutClosingDot(host.name);
    return isIpLiteral(name) || names.contains(name) || name.endsWith(u".localhost");
}

// The page that made the request is one of this server's: its Referer or
// Origin names the request's own Host with the http scheme. Both must,
// when both are there.
bool fromOwnPage(const Headers &headers, const Authority &host)
{
    const auto sameServer = [&](QStringView url) {
        // This server speaks plain http only.
        if (!url.startsWith(u"http://", Qt::CaseInsensitive))
            return false;
        const std::optional<Authority> from = originServer(url);
        return from && from->port == host.port
            && withoutClosingDot(from->name) == withoutClosingDot(host.name);
    };
    if (!headers.referer && !headers.origin)
        return false;
    if (headers.origin && !sameServer(*headers.origin))
        return false;
    if (headers.referer) {
        // The origin part of "http://host:port/path?query"; a Referer with
        // user information never comes from a page of ours.
        QStringView referer = *headers.referer;
        const qsizetype schemeEnd = referer.indexOf(u"://");
        if (schemeEnd > 0) {
            qsizetype end = schemeEnd + 3;
            while (end < referer.size() && referer[end] != u'/' && referer[end] != u'?'
                   && referer[end] != u'#')
                ++end;
            referer = referer.left(end);
        }
        if (referer.contains(u'@') || !sameServer(referer))
            return false;
    }
    return true;
}

} // namespace

QStringList ThisMachineNames(const QStringList &extraNames)
{
    QStringList names{QStringLiteral("localhost")};
    const auto add = [&names](const QString &name) {
        const QString lower = withoutClosingDot(name.trimmed().toLower());
        if (!lower.isEmpty() && !names.contains(lower))
            names.append(lower);
    };
    const QString hostName = QHostInfo::localHostName();
    if (!hostName.isEmpty()) {
        add(hostName);
        const QString shortName = hostName.section(u'.', 0, 0);
        add(shortName);
        add(shortName + QStringLiteral(".local"));
        const QString domain = QHostInfo::localDomainName();
        if (!domain.isEmpty())
            add(shortName + u'.' + domain);
    }
    for (const QString &name : extraNames)
        add(name);
    return names;
}

QString hostRefusal(QStringView host, const GuardRules &rules)
{
    // Every browser sends a Host; a client without one cannot be a page that
    // a browser was made to send here under another name.
    host = host.trimmed();
    if (rules.allowOtherSites || host.isEmpty())
        return {};
    const std::optional<Authority> server = parseHostPort(host, 80);
    if (server && namesThisMachine(*server, rules.hostNames))
        return {};
    return QStringLiteral(": Host %1 is not this machine").arg(server ? server->name : host.toString());
}

QString commandRefusal(QStringView requestText, QStringView host, const GuardRules &rules)
{
    if (rules.allowOtherSites)
        return {};
    if (QString refusal = hostRefusal(host, rules); !refusal.isEmpty())
        return refusal;
    const Headers headers = guardHeaders(requestText);
    const std::optional<Authority> server = parseHostPort(host.trimmed(), 80);
    if (fromAnotherSite(headers, host))
        return QStringLiteral(" from another site");
    const bool browser = headers.userAgent && headers.userAgent->startsWith(u"Mozilla/");
    if (browser && (!server || !fromOwnPage(headers, *server)))
        return QStringLiteral(": the page that sent it is not one of this server's");
    return {};
}

bool isFromAnotherSite(QStringView requestText, QStringView host)
{
    return fromAnotherSite(guardHeaders(requestText), host);
}

} // namespace vanterel::http
