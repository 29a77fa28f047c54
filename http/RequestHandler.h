#pragma once

#include "http/DocumentRoot.h"
#include "http/Request.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace vanterel {
class EventSink;
} // namespace vanterel

namespace vanterel::http {

// What request handling may do to the connection it answers (the connection
// slots of the server).
class Connections {
public:
    virtual ~Connections();
    // A request on a connection still sending an earlier response takes the
    // slot over: the earlier file is dropped and the counts start afresh.
    virtual void takeOver(int index) = 0;
    // A whole response of text: BytesToSend is its length.
    virtual void sendText(int index, const QByteArray &response) = 0;
    // The header of a file response; the file's bytes follow piece by piece.
    // BytesToSend is the header's length plus length.
    virtual void sendFile(int index, const QByteArray &header, FileHandle file, qint64 length,
                          const QString &filePath)
        = 0;
};

// Answers each data arrival of a connection as one whole request: decides it
// (Request.h), then traces it to Log.txt, runs the command it carries and
// starts its response, in the order the decision's comment gives. Runs on
// the network thread.
class RequestHandler {
public:
    using CommandRunner = std::function<void(const QString &commandName)>;

    RequestHandler(Connections &connections, EventSink &log, ServingRules rules, const QString &documentRoot,
                   CommandRunner runCommand);
    ~RequestHandler();

    // Handles the bytes that arrived on slot index.
    void handle(int index, const QByteArray &bytes, const ConnectionInfo &connection);

    // Applies to the next request.
    void setDocumentRoot(const QString &documentRoot);

private:
    void send(int index, const QByteArray &response);

    Connections &m_connections;
    EventSink &m_log;
    const ServingRules m_rules;
    std::unique_ptr<ServedRoot> m_root;
    CommandRunner m_runCommand;
};

} // namespace vanterel::http
