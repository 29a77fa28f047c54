#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

// Any page that a browser on the network has open could press keys by naming
// a command in an image or a link (<img src="http://192.168.1.20/?EJECT">),
// and a page of another site whose name is made to point at this machine
// (DNS rebinding) would even look like one of ours to the browser. Over plain
// http at a network address browsers send neither Sec-Fetch-Site nor Origin
// with such requests, so the guard asks for what every page of ours does
// send: a Host that names this machine and, from a browser, a Referer or
// Origin that names this server.
namespace vanterel::http {

struct GuardRules {
    // The names besides IP literals under which a browser may reach this
    // machine, lower case: localhost, the host name, <host name>.local, the
    // fully qualified name and the names the user added.
    QStringList hostNames;
    // The user's panel lives on another server: the guard is off.
    bool allowOtherSites = false;
};

// localhost and this machine's own names as the system reports them, then
// extraNames (the user's), each lower case without a closing dot, once.
QStringList ThisMachineNames(const QStringList &extraNames);

// Why the command of this request must not run, as the rest of the event-log
// line after "Refused command X": " from another site" or ": <reason>".
// Empty when it may run. requestText is the whole request, host the value of
// its Host header ("name[:port]").
//
// In this order: the Host must name this machine (an IP literal, or one of
// rules.hostNames); then a page of another site must not have said where it
// came from (isFromAnotherSite); then a browser (a User-Agent that begins with
// "Mozilla/", which a page cannot change) must show a Referer or Origin of
// this very server, as the pages of this server send on every link,
// navigation and fetch. Clients that are no browser (curl, scripts) need
// neither.
QString commandRefusal(QStringView requestText, QStringView host, const GuardRules &rules);

// The Host part of the guard alone: ": Host <name> is not this machine", or
// empty when the Host names this machine or there is none.
QString hostRefusal(QStringView host, const GuardRules &rules);

// True when the request was made by a page of another site: its
// Sec-Fetch-Site is "cross-site" or "same-site", or its Origin (scheme, host
// and port, the scheme's default port when none is given) names another
// server than host, the Host value as request handling cuts it out
// ("name[:port]", port 80 when none is given). "Origin: null" comes from an
// opaque page (a sandbox, a file, a redirect across sites) and counts as
// another site. Header names are matched without regard to case, values
// trimmed; only the header lines before the blank line count.
bool isFromAnotherSite(QStringView requestText, QStringView host);

} // namespace vanterel::http
