#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QTcpSocket;

namespace vanterel::http {

class Listener;

// An array of TCP sockets addressed by index, with one set of events for all
// of them. Element 0 listens; every other element carries one accepted
// connection and is reused once closed, never destroyed. States are reported
// with the numbers the server's rules test.
class SocketArray : public QObject {
    Q_OBJECT

public:
    enum StateValue {
        StateClosed = 0,
        StateOpen = 1,
        StateListening = 2,
        StatePending = 3,
        StateResolving = 4,
        StateResolved = 5,
        StateConnecting = 6,
        StateConnected = 7,
        StateClosing = 8,
        StateError = 9,
    };

    explicit SocketArray(QObject *parent = nullptr);
    ~SocketArray() override;

    // Highest element index in use (0 when only the listener exists).
    int UBound() const;
    // Creates element UBound() + 1, closed, and returns its index.
    int Load();

    int State(int index) const;

    // Element 0: listens on every address on the given port. Returns whether
    // it is now listening; ListenError() says why not.
    bool Listen(qint32 port);
    QString ListenError() const;
    qint32 LocalPort() const;
    // The host's own address, as a user would type it into a browser.
    static QString LocalIP();

    // Takes the incoming connection (from ConnectionRequest) into element index.
    void Accept(int index, qintptr requestId);
    // Everything received on the element so far.
    QByteArray GetData(int index);
    // Queues bytes for sending; false when the element is not connected.
    bool SendData(int index, const QByteArray &data);
    // Hands queued bytes to the system at once; their progress and completion
    // are reported before it returns. False when the element is not connected.
    bool Flush(int index);
    // Bytes queued on the element that the network has not yet taken.
    qint64 BytesQueued(int index) const;
    // Closes the element. Bytes already queued are handed to the system first.
    void Close(int index);

Q_SIGNALS:
    void ConnectionRequest(int index, qintptr requestId);
    void DataArrival(int index, qint64 bytesTotal);
    void SendProgress(int index, qint64 bytesSent, qint64 bytesRemaining);
    void SendComplete(int index);
    // The peer closed the connection (never raised for our own Close).
    void CloseEvent(int index);
    void Error(int index, int number, const QString &description);
    // Accepting failed (for example out of file descriptors); the listener
    // pauses and resumes by itself.
    void AcceptError(const QString &description);

private:
    struct Element;
    void onDisconnected(int index);
    void onSocketError(int index);

    std::unique_ptr<Listener> m_listener;
    QString m_listenError;
    std::vector<std::unique_ptr<Element>> m_elements; // [0] unused: the listener lives in m_listener
};

} // namespace vanterel::http
