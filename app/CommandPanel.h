#pragma once

#include "http/BuiltInPages.h"
#include "keys/KeyCommands.h"

#include <QString>

#include <memory>
#include <utility>
#include <vector>

// A touch button for every binding of the table, at /.vanterel/commands, with
// its script and style: from importing a key file to a working panel without
// writing a page.
namespace vanterel::app {

// A command name as the query of a link: the characters that a browser sends
// as they are stay, every other byte of its UTF-8 is %-escaped. The server
// takes the query as it arrives, so a name with such characters cannot be
// pressed from a link, as with any page; the page still shows it.
QString CommandQuery(const QString &name);

// The command panel page: the template with "@BUTTONS@" replaced by one link
// for each (name, keys) pair, names and keys escaped for HTML.
QByteArray CommandPanelPage(const QByteArray &pageTemplate,
                            const std::vector<std::pair<QString, QString>> &commands);

class CommandPanel final : public http::BuiltInPages {
public:
    // keys must outlive this.
    explicit CommandPanel(keys::KeyCommands &keys);

    // On the network thread only: the page is made again when the table has
    // been replaced since, so a reload shows an import.
    std::optional<http::BuiltInPage> page(QStringView path) override;

private:
    keys::KeyCommands &m_keys;
    std::shared_ptr<const keys::KeyBindings> m_table;
    QByteArray m_page;
};

} // namespace vanterel::app
