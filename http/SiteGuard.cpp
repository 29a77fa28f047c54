#include "http/SiteGuard.h"

#include <QString>

#include <optional>

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

} // namespace

bool isFromAnotherSite(QStringView requestText, QStringView host)
{
    std::optional<QStringView> fetchSite;
    std::optional<QStringView> origin;
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
            const QStringView value = line.mid(colon + 1).trimmed();
            // The first of each counts; a browser sends one.
            if (!fetchSite && name.compare(u"Sec-Fetch-Site", Qt::CaseInsensitive) == 0)
                fetchSite = value;
            else if (!origin && name.compare(u"Origin", Qt::CaseInsensitive) == 0)
                origin = value;
        }
        lineStart = lineEnd;
    }

    if (fetchSite
        && (fetchSite->compare(u"cross-site", Qt::CaseInsensitive) == 0
            || fetchSite->compare(u"same-site", Qt::CaseInsensitive) == 0))
        return true;
    if (!origin)
        return false;
    const std::optional<Authority> from = originServer(*origin);
    const std::optional<Authority> to = parseHostPort(host.trimmed(), 80);
    return !from || !to || from->name != to->name || from->port != to->port;
}

} // namespace vanterel::http
