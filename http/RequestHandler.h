#pragma once

#include <QString>

#include <functional>

namespace vanterel {
class EventSink;
struct Settings;
} // namespace vanterel

namespace vanterel::http {

class Server;

// Answers each data arrival of a connection as one whole request: traces it to
// Log.txt, runs the command it carries, and starts the response that the
// request decision picks. The decision itself lives in Request.h and knows no
// sockets; this is where it meets the connection.
class RequestHandler {
public:
    using CommandRunner = std::function<void(const QString &commandName)>;

    RequestHandler(Server &server, const Settings &settings, EventSink &log, CommandRunner runCommand);

    // Handles the data that arrived on slot index. Installs itself with
    // Server::setRequestHandler through install().
    void handle(int index);
    void install();

private:
    void send(int index, const QByteArray &response);
    // A request on a connection still sending an earlier response takes the
    // slot over: the earlier file is dropped and the counts start afresh.
    void takeOver(int index);

    Server &m_server;
    const Settings &m_settings;
    EventSink &m_log;
    CommandRunner m_runCommand;
};

} // namespace vanterel::http
