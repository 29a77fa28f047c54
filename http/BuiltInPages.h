#pragma once

#include <QByteArray>
#include <QStringView>

#include <optional>

namespace vanterel::http {

// A page of the program's own, not of the document root.
struct BuiltInPage {
    QByteArray contentType;
    QByteArray body;
};

// The program's own pages live under /.vanterel/: names that begin with "."
// are never served from the document root, so no file of the user's can take
// or hide one. Asked on the network thread, once per request for such a path.
class BuiltInPages {
public:
    static constexpr QStringView Prefix = u"/.vanterel/";

    virtual ~BuiltInPages() = default;
    // The page at the path (which begins with Prefix), or nothing: 404.
    virtual std::optional<BuiltInPage> page(QStringView path) = 0;
};

} // namespace vanterel::http
