#include "http/RequestHandler.h"

#include "common/EventSink.h"

namespace vanterel::http {

Connections::~Connections() = default;

RequestHandler::RequestHandler(Connections &connections, EventSink &log, ServingRules rules,
                               const QString &documentRoot, CommandRunner runCommand)
    : m_connections(connections)
    , m_log(log)
    , m_rules(std::move(rules))
    , m_root(std::make_unique<ServedRoot>(documentRoot))
    , m_runCommand(std::move(runCommand))
{
}

RequestHandler::~RequestHandler() = default;

void RequestHandler::setDocumentRoot(const QString &documentRoot)
{
    m_root = std::make_unique<ServedRoot>(documentRoot);
}

void RequestHandler::send(int index, const QByteArray &response)
{
    m_connections.sendText(index, response);
    if (m_log.LogEnabled())
        m_log.traceLine(index, u" - Sent Data: ", QString::fromLocal8Bit(response));
}

void RequestHandler::handle(int index, const QByteArray &bytes, const ConnectionInfo &connection)
{
    RequestDecision decision = decideRequest(bytes, *m_root, m_rules, connection);
    const ParsedRequest &request = decision.request;
    m_log.traceLine(index, u" - Got Data: ", decision.text);
    m_connections.takeOver(index);

    if (!request.isGet) {
        send(index, decision.response);
        return;
    }
    m_log.traceLine(index, u" - Requested File: ", request.requestPath);
    if (request.refused) {
        send(index, decision.response);
        return;
    }
    switch (decision.command) {
    case CommandAction::None:
        break;
    case CommandAction::Refused:
        // The page is answered as ever, the key is not pressed.
        m_log.AddMsg(QStringLiteral("Refused command ") + request.command + decision.refusal);
        break;
    case CommandAction::Paired:
        m_log.AddMsg(QStringLiteral("Allowed ") + decision.device
                     + QStringLiteral(" to press keys (QR code)"));
        break;
    case CommandAction::StaleCode:
        m_log.AddMsg(QStringLiteral("Refused the code from ") + decision.device
                     + QStringLiteral(": it is not the one the Connect window shows"));
        break;
    case CommandAction::Run:
        m_log.AddMsg(QStringLiteral("Recieved command ") + request.command);
        if (m_runCommand)
            m_runCommand(request.command);
        m_log.traceLine(index, u" - Pressed keys for command ", request.command);
        break;
    }

    m_log.traceLine(index, u" - Complete Path: ", decision.localPath);
    if (decision.kind == ResponseKind::BuiltIn)
        m_log.AddMsg(QStringLiteral("Transfering: ") + request.path);
    if (decision.kind != ResponseKind::File) {
        send(index, decision.response);
        return;
    }
    m_log.AddMsg(QStringLiteral("Transfering: ") + request.path);
    m_connections.sendFile(index, decision.response, std::move(decision.entry.file), decision.entry.size,
                           request.path);
    if (m_log.LogEnabled())
        m_log.traceLine(index, u" - Sent Data: ", QString::fromLocal8Bit(decision.response));
}

} // namespace vanterel::http
