#include "http/RequestHandler.h"

#include "common/EventSink.h"
#include "http/DeviceAccess.h"
#include "http/Request.h"
#include "http/Responses.h"
#include "http/ServedRoot.h"
#include "http/SiteGuard.h"

namespace vanterel::http {

Connections::~Connections() = default;

RequestHandler::RequestHandler(Connections &connections, EventSink &log, QString serverSignature,
                               QString documentRoot, CommandRunner runCommand, GuardRules rules)
    : m_connections(connections)
    , m_log(log)
    , m_signature(std::move(serverSignature))
    , m_root(std::make_unique<ServedRoot>(std::move(documentRoot)))
    , m_runCommand(std::move(runCommand))
    , m_rules(std::move(rules))
    , m_notFound(notFoundResponse(m_signature))
    , m_notImplemented(notImplementedResponse(m_signature))
{
}

RequestHandler::~RequestHandler() = default;

void RequestHandler::setDocumentRoot(const QString &documentRoot)
{
    m_root = std::make_unique<ServedRoot>(documentRoot);
}

const QString &RequestHandler::documentRoot() const
{
    return m_root->documentRoot();
}

void RequestHandler::trace(int index, QStringView label, const QString &text)
{
    // Trace lines are only built while someone reads them: most requests are
    // served with logging off, and each line would cost allocations.
    if (!m_log.LogEnabled())
        return;
    QString line = QString::number(index);
    line += label;
    line += text;
    m_log.WriteLogLine(line);
}

void RequestHandler::send(int index, const QByteArray &response)
{
    m_connections.SendText(index, response);
    if (m_log.LogEnabled())
        trace(index, u" - Sent Data: ", QString::fromLocal8Bit(response));
}

bool RequestHandler::mayRun(int index, const QString &text, const ParsedRequest &request)
{
    const QString &command = request.command;
    if (m_devices && DeviceAccess::isPairingQuery(command)) {
        // The connect window's URL, opened by a device: never a command. A
        // page cannot learn the code, so only the Host is checked.
        const QString device = DeviceAccess::normalized(m_connections.PeerAddress(index));
        if (hostRefusal(request.host, m_rules).isEmpty()
            && m_devices->check(device, command) == DeviceAccess::Verdict::Paired)
            m_log.AddMsg(QStringLiteral("Allowed ") + device + QStringLiteral(" to press keys (QR code)"));
        else
            m_log.AddMsg(QStringLiteral("Refused the code from ") + device
                         + QStringLiteral(": it is not the one the Connect window shows"));
        return false;
    }
    QString refusal = commandRefusal(text, request.host, m_rules);
    if (refusal.isEmpty() && m_devices && m_devices->onlyApproved()) {
        // The first request of a new device asks the user, once.
        const QString device = DeviceAccess::normalized(m_connections.PeerAddress(index));
        if (m_devices->check(device, command) == DeviceAccess::Verdict::NotApproved)
            refusal = QStringLiteral(": device ") + device + QStringLiteral(" is not allowed to press keys");
    }
    if (refusal.isEmpty())
        return true;
    // The page is answered as ever, the key is not pressed.
    m_log.AddMsg(QStringLiteral("Refused command ") + command + refusal);
    return false;
}

void RequestHandler::handle(int index, const QByteArray &bytes)
{
    const QString text = requestText(bytes);
    trace(index, u" - Got Data: ", text);
    m_connections.TakeOver(index);

    const ParsedRequest request = parseRequest(text);
    if (!request.isGet) {
        send(index, m_notImplemented);
        return;
    }
    trace(index, u" - Requested File: ", request.requestPath);
    if (request.refused) {
        send(index, m_notFound);
        return;
    }
    if (!request.command.isEmpty() && mayRun(index, text, request)) {
        m_log.AddMsg(QStringLiteral("Recieved command ") + request.command);
        if (m_runCommand)
            m_runCommand(request.command);
        trace(index, u" - Pressed keys for command ", request.command);
    }

    const QString localPath = mapToLocalPath(request.path, m_root->documentRoot());
    trace(index, u" - Complete Path: ", localPath);
    OpenedEntry entry = m_root->open(request.path, localPath);

    switch (entry.kind) {
    case EntryKind::Missing:
        send(index, m_notFound);
        return;
    case EntryKind::Folder:
        m_connections.SetPendingText(index, QByteArray());
        send(index, redirectResponse(request.host));
        return;
    case EntryKind::File:
        break;
    }

    m_log.AddMsg(QStringLiteral("Transfering: ") + request.path);
    const QByteArray header = fileHeader(m_signature, contentRuleFor(request.path), entry.size);
    m_connections.SendFile(index, header, std::move(entry.file), entry.size, request.path);
    if (m_log.LogEnabled())
        trace(index, u" - Sent Data: ", QString::fromLocal8Bit(header));
}

} // namespace vanterel::http
