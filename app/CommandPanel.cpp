#include "app/CommandPanel.h"

#include <QFile>

namespace vanterel::app {

namespace {

QByteArray resource(const QString &name)
{
    QFile file(QStringLiteral(":/panel/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

QString CommandQuery(const QString &name)
{
    // RFC 3986's query characters, less "%" (an escape) and "#" (the fragment).
    static const QByteArray kept = "-._~!$&'()*+,;=:@/?";
    return QString::fromLatin1(name.toUtf8().toPercentEncoding(kept));
}

QByteArray CommandPanelPage(const QByteArray &pageTemplate,
                            const std::vector<std::pair<QString, QString>> &commands)
{
    QString buttons;
    for (const auto &[name, keys] : commands) {
        const QString html = name.toHtmlEscaped();
        buttons += QStringLiteral("<a class=\"command\" href=\"/.vanterel/commands?%1\" data-name=\"%2\">"
                                  "<span class=\"name\">%2</span><span class=\"keys\">%3</span></a>\n")
                       .arg(CommandQuery(name).toHtmlEscaped(), html, keys.toHtmlEscaped());
    }
    QByteArray page = pageTemplate;
    return page.replace("@BUTTONS@", buttons.toUtf8());
}

CommandPanel::CommandPanel(keys::KeyCommands &keys)
    : m_keys(keys)
{
}

std::optional<http::BuiltInPage> CommandPanel::page(QStringView path)
{
    const QStringView name = path.mid(Prefix.size());
    if (name == u"commands") {
        const std::shared_ptr<const keys::KeyBindings> table = m_keys.bindings();
        if (table != m_table || m_page.isEmpty()) {
            std::vector<std::pair<QString, QString>> commands;
            for (qint32 i = 1; i <= table->upperBound(); ++i) {
                const keys::KeyBinding &b = table->at(i);
                QStringList pressed;
                if (b.FirstKey > 0)
                    pressed.append(m_keys.BindingText(b.FirstKey, b.FirstModifiers));
                if (b.SecondKey > 0)
                    pressed.append(m_keys.BindingText(b.SecondKey, b.SecondModifiers));
                commands.emplace_back(b.Callback, pressed.join(QStringLiteral(", ")));
            }
            m_page = CommandPanelPage(resource(QStringLiteral("commands.html")), commands);
            m_table = table;
        }
        return http::BuiltInPage{"text/html; charset=utf-8", m_page};
    }
    // What a tap from the panel's script asks for: the command has run, the
    // answer is as small as can be.
    if (name == u"tap")
        return http::BuiltInPage{"text/plain", "ok"};
    if (name == u"commands.js" || name == u"live.js")
        return http::BuiltInPage{"text/javascript; charset=utf-8", resource(name.toString())};
    if (name == u"commands.css")
        return http::BuiltInPage{"text/css; charset=utf-8", resource(name.toString())};
    return std::nullopt;
}

} // namespace vanterel::app
