#include "http/RequestHandler.h"

#include "common/EventSink.h"
#include "common/Settings.h"
#include "http/DocumentRoot.h"
#include "http/Request.h"
#include "http/Responses.h"
#include "http/Server.h"

namespace vanterel::http {

RequestHandler::RequestHandler(Server &server, const Settings &settings, EventSink &log,
                               CommandRunner runCommand)
    : m_server(server), m_settings(settings), m_log(log), m_runCommand(std::move(runCommand))
{
}

void RequestHandler::install()
{
    m_server.setRequestHandler([this](int index) { handle(index); });
}

void RequestHandler::takeOver(int index)
{
    const ConnectionSlot &slot = m_server.Slot(index);
    if (!slot.File && slot.BytesToSend == 0)
        return;
    // Bytes of the earlier response still queued will be reported as sent
    // later; starting the count below zero by that much keeps the new
    // response's count exact.
    m_server.ResetForNewResponse(index, -m_server.Sck().BytesQueued(index));
}

void RequestHandler::send(int index, const QByteArray &response)
{
    m_server.StartResponse(index, response, nullptr, response.size());
    m_log.WriteLogLine(QString::number(index) + QStringLiteral(" - Sent Data: ")
                       + QString::fromLocal8Bit(response));
}

void RequestHandler::handle(int index)
{
    const QString n = QString::number(index);
    const QString text = requestText(m_server.Sck().GetData(index));
    m_log.WriteLogLine(n + QStringLiteral(" - Got Data: ") + text);
    takeOver(index);

    const ParsedRequest request = parseRequest(text);
    const QString &signature = m_settings.ServerSignature;
    if (!request.isGet) {
        send(index, notImplementedResponse(signature));
        return;
    }
    m_log.WriteLogLine(n + QStringLiteral(" - Requested File: ") + request.requestPath);
    if (request.refused) {
        send(index, notFoundResponse(signature));
        return;
    }
    if (!request.command.isEmpty()) {
        m_log.AddMsg(QStringLiteral("Recieved command ") + request.command);
        if (m_runCommand)
            m_runCommand(request.command);
        m_log.WriteLogLine(n + QStringLiteral(" - Pressed keys for command ") + request.command);
    }

    const FileSystemRoot root(m_settings.DocumentRoot);
    const QString localPath = mapToLocalPath(request.path, root.documentRoot());
    m_log.WriteLogLine(n + QStringLiteral(" - Complete Path: ") + localPath);
    const PathEntry entry = lookUpPath(request.path, localPath, root);

    switch (entry.kind) {
    case EntryKind::Missing:
        send(index, notFoundResponse(signature));
        return;
    case EntryKind::Folder:
        m_server.SetPendingText(index, QByteArray());
        send(index, redirectResponse(request.host));
        return;
    case EntryKind::File:
        break;
    }

    m_log.AddMsg(QStringLiteral("Transfering: ") + request.path);
    auto file = std::make_unique<QFile>();
    if (!openServedFile(entry.resolvedPath, *file)) {
        // It was there a moment ago but cannot be read now (rights, or it was
        // swapped for something that is not a plain file): not found.
        send(index, notFoundResponse(signature));
        return;
    }
    const qint64 length = file->size();
    const QByteArray header = fileHeader(signature, contentRuleFor(request.path), length);
    m_server.StartResponse(index, header, std::move(file), header.size() + length, request.path);
    m_log.WriteLogLine(n + QStringLiteral(" - Sent Data: ") + QString::fromLocal8Bit(header));
}

} // namespace vanterel::http
