#include "http/RequestHandler.h"

#include "common/EventSink.h"
#include "http/Request.h"
#include "http/Responses.h"
#include "http/ServedRoot.h"
#include "http/SiteGuard.h"

namespace vanterel::http {

Connections::~Connections() = default;

RequestHandler::RequestHandler(Connections &connections, EventSink &log, QString serverSignature,
                               QString documentRoot, CommandRunner runCommand, bool allowOtherSites)
    : m_connections(connections)
    , m_log(log)
    , m_signature(std::move(serverSignature))
    , m_root(std::make_unique<ServedRoot>(std::move(documentRoot)))
    , m_runCommand(std::move(runCommand))
    , m_allowOtherSites(allowOtherSites)
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
    if (!request.command.isEmpty() && !m_allowOtherSites && isFromAnotherSite(text, request.host)) {
        // A page of another site named the command: the page is answered as
        // ever, the key is not pressed.
        m_log.AddMsg(QStringLiteral("Refused command ") + request.command
                     + QStringLiteral(" from another site"));
    } else if (!request.command.isEmpty()) {
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
