#pragma once

#include "http/SocketArray.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QTimer;

namespace vanterel {
class EventSink;
struct Settings;
} // namespace vanterel

namespace vanterel::http {

// Bookkeeping of one connection: the response being sent and how far it got.
struct ConnectionSlot {
    // The file whose contents are being sent; null when the slot has none open.
    std::unique_ptr<QFile> File;
    // Bytes the whole response puts on the wire: header plus file, or the text.
    qint64 BytesToSend = 0;
    // Bytes the socket has reported as handed to the network for this response.
    qint64 BytesSent = 0;
    // The file's length as announced in the header.
    qint64 FileLength = 0;
    // The requested path of the file being sent.
    QString FilePath;
    // Text to follow the header in place of a file.
    QByteArray PendingText;
    // CloseConnection is under way: the slot is not free even once its socket
    // reports closed, because the close lets other events run.
    bool Closing = false;
    // When the connection is closed if it has still sent nothing; Forever
    // once data has arrived, and while the slot is free.
    QDeadlineTimer IdleDeadline{QDeadlineTimer::Forever};
};

// The file server's sockets: element 0 listens on the configured port, every
// accepted connection gets a slot (socket, pacing timer and record of one
// index) that is made on demand, reused once closed and never destroyed.
// Each connection carries one response; the server closes it once every byte
// has been reported as sent, and closes one that has sent nothing within the
// idle time.
class Server : public QObject {
    Q_OBJECT

public:
    // Size of one piece of a file: one is read and sent per timer tick.
    static constexpr qint64 PieceSize = 2048;

    // A connection that has sent nothing for this long is closed. It has
    // asked for nothing, so no response is cut short, but it holds a
    // descriptor and a slot: enough of them, opened and left alone, would
    // leave none for real requests. A browser sends its request at once.
    static constexpr std::chrono::milliseconds DefaultIdleTimeout{30000};

    Server(Settings &settings, EventSink &log, QObject *parent = nullptr);
    ~Server() override;

    SocketArray &Sck() { return m_sck; }

    // Makes element 0 listen on ServerPort. Returns whether it now listens.
    bool StartListening();
    // "Server listening on address <ip>:<port>".
    QString ListeningLine() const;
    // Why the last StartListening failed, as a full log line.
    QString ListenFailureLine() const;
    // Closes element 0 only; accepted connections go on.
    void StopListening();

    // Disables the slot's timer, closes its socket (letting pending events run
    // until it reports closed), closes its file and resets the record.
    void CloseConnection(int index);
    // Closes every socket that is not closed, the listener first, and every
    // open file. No events run during it.
    void Shutdown();

    // Called on every data arrival of a connection slot; it reads the request
    // with Sck().GetData and answers it through StartResponse.
    void setRequestHandler(std::function<void(int index)> handler);

    // How long a connection may stay without sending anything; zero or less
    // keeps such connections open for ever. Applies to connections accepted
    // from then on.
    void setIdleTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds idleTimeout() const { return m_idleTimeout; }

    // Sends the start of a response on slot index: the header (or the whole
    // text when file is null) now, the file's bytes piece by piece as the
    // socket takes them. totalBytes counts everything on the wire.
    void StartResponse(int index, const QByteArray &text, std::unique_ptr<QFile> file,
                       qint64 totalBytes, const QString &filePath = QString());

    // Drops what the slot was sending (file, timer) before a new response on
    // the same connection; BytesSent starts at the given value.
    void ResetForNewResponse(int index, qint64 bytesSent);
    void SetPendingText(int index, const QByteArray &text);

    int SlotCount() const { return int(m_slots.size()); }
    const ConnectionSlot &Slot(int index) const { return m_slots.at(std::size_t(index)); }
    bool TimerArmed(int index) const;

Q_SIGNALS:
    // A response was sent completely and its connection closed.
    void TransferFinished(int index);
    // A piece of a file went out on slot index (for tests and benchmarks).
    void PieceSent(int index, qint64 bytes);
    // Slot index was closed because its connection sent nothing in time.
    void IdleClosed(int index);

private:
    void onConnectionRequest(qintptr requestId);
    void onSendProgress(int index, qint64 bytesSent);
    void onSendComplete(int index);
    void onTick(int index);
    void onError(int index, const QString &description);
    void closeIdleConnections();
    int createSlot();

    Settings &m_settings;
    EventSink &m_log;
    SocketArray m_sck;
    std::vector<ConnectionSlot> m_slots;   // [0] belongs to the listener
    std::vector<QTimer *> m_timers;        // tmrSendData; [0] never armed
    std::function<void(int)> m_requestHandler;
    bool m_acceptErrorLogged = false;
    std::chrono::milliseconds m_idleTimeout = DefaultIdleTimeout;
    // One timer looks for idle connections in every slot: a timer per slot
    // would close each from its own tick, and as every close lets events
    // run, a crowd of them expiring together would nest inside each other.
    QTimer *m_idleSweep;
    // How many CloseConnection calls are under way, one inside the other.
    int m_closeDepth = 0;
};

} // namespace vanterel::http
