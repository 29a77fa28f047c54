#pragma once

#include "http/DocumentRoot.h"
#include "http/SiteGuard.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace vanterel {
class EventSink;
} // namespace vanterel

namespace vanterel::http {

class DeviceAccess;
struct ParsedRequest;
class ServedRoot;

// What request handling may do to the connection it answers. The server's
// engine implements it; a test can record the calls instead.
class Connections {
public:
    virtual ~Connections();
    // A request on a connection still sending an earlier response takes the
    // slot over: the earlier file is dropped and the counts start afresh.
    virtual void TakeOver(int index) = 0;
    // A whole response of text: BytesToSend is its length.
    virtual void SendText(int index, const QByteArray &response) = 0;
    // The header of a file response; the file's bytes follow piece by piece.
    // BytesToSend is the header's length plus length.
    virtual void SendFile(int index, const QByteArray &header, FileHandle file, qint64 length,
                          const QString &filePath)
        = 0;
    virtual void SetPendingText(int index, const QByteArray &text) = 0;
    // The address of the device at the other end, as text ("192.168.1.23").
    virtual QString PeerAddress(int index) = 0;
};

// Answers each data arrival of a connection as one whole request: traces it to
// Log.txt, runs the command it carries, and starts the response that the
// request decision picks. The decision itself lives in Request.h and knows no
// sockets; this is where it meets the connection.
class RequestHandler {
public:
    using CommandRunner = std::function<void(const QString &commandName)>;

    // rules: which requests may run their command (SiteGuard.h).
    RequestHandler(Connections &connections, EventSink &log, QString serverSignature, QString documentRoot,
                   CommandRunner runCommand, GuardRules rules = {});
    ~RequestHandler();

    // Handles the bytes that arrived on slot index.
    void handle(int index, const QByteArray &bytes);

    // Applies to the next request.
    void setDocumentRoot(const QString &documentRoot);
    const QString &documentRoot() const;
    // Only approved devices press keys when it says so; before the first request.
    void setDevices(DeviceAccess *devices) { m_devices = devices; }

private:
    void trace(int index, QStringView label, const QString &text);
    void send(int index, const QByteArray &response);
    // Whether the request's command may run; logs why when it may not.
    bool mayRun(int index, const QString &text, const ParsedRequest &request);

    Connections &m_connections;
    EventSink &m_log;
    const QString m_signature;
    std::unique_ptr<ServedRoot> m_root;
    CommandRunner m_runCommand;
    const GuardRules m_rules;
    DeviceAccess *m_devices = nullptr;
    // The same bytes every time: made once.
    const QByteArray m_notFound;
    const QByteArray m_notImplemented;
};

} // namespace vanterel::http
