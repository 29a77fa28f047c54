#pragma once

#include <QStringView>

// Any page that a browser on the network has open could press keys by naming
// a command in an image or a link (<img src="http://192.168.1.20/?EJECT">).
// Browsers say where a request comes from; a command from a page that the
// program did not serve itself is not run. Clients that say nothing (curl,
// scripts, older browsers) are taken at their word, as before.
namespace vanterel::http {

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
