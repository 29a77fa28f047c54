#pragma once

#include <QString>
#include <QtGlobal>

// Kept in the server's namespace: the options window names it
// http::ServerControl, and needs nothing else of the server.
namespace vanterel::http {

// What the options window may ask of the running server. Both return at once;
// the server applies them in order on its own thread and logs the outcome.
class ServerControl {
public:
    virtual ~ServerControl() = default;
    // Closes the listener ("Server closed."), listens on the port and logs the
    // listening line, or why it could not listen. Connections go on.
    virtual void RestartListening(qint32 port) = 0;
    // Applies to the next request.
    virtual void SetDocumentRoot(const QString &documentRoot) = 0;
};

} // namespace vanterel::http
