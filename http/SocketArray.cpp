#include "http/SocketArray.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace vanterel::http {

// QTcpServer hands over the bare descriptor of each incoming connection; the
// array raises it as a connection request and lets its owner pick the element.
class Listener final : public QTcpServer {
public:
    explicit Listener(SocketArray *array) : m_array(array) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        Q_EMIT m_array->ConnectionRequest(0, descriptor);
    }

private:
    SocketArray *m_array;
};

struct SocketArray::Element {
    QTcpSocket socket;
    // Set while we close the socket ourselves, so that its "disconnected" is
    // not mistaken for the peer closing.
    bool closingByUs = false;
    // Qt returns a failed socket to the unconnected state; the error state is
    // kept here until the element is closed or reused.
    bool failed = false;
    // Counts the connections the element has carried, so that a late report
    // about an old connection never touches the next one.
    quint64 generation = 0;
};

namespace {
// How long the listener rests after accepting failed (out of descriptors,
// typically) before it tries again. Qt stops accepting for good otherwise.
constexpr int AcceptRetryMs = 100;
} // namespace

SocketArray::SocketArray(QObject *parent)
    : QObject(parent), m_listener(std::make_unique<Listener>(this))
{
    m_elements.emplace_back(); // element 0 is the listener
    connect(m_listener.get(), &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        const QString reason = m_listener->errorString();
        // Qt has paused accepting; the connections waiting in the backlog are
        // served once descriptors come free again.
        QTimer::singleShot(AcceptRetryMs, m_listener.get(), [this] {
            if (m_listener->isListening())
                m_listener->resumeAccepting();
        });
        Q_EMIT AcceptError(reason);
    });
}

SocketArray::~SocketArray()
{
    for (auto &el : m_elements)
        if (el)
            el->closingByUs = true;
}

int SocketArray::UBound() const { return int(m_elements.size()) - 1; }

int SocketArray::Load()
{
    const int index = int(m_elements.size());
    auto el = std::make_unique<Element>();
    QTcpSocket *sock = &el->socket;
    connect(sock, &QTcpSocket::readyRead, this,
            [this, index, sock] { Q_EMIT DataArrival(index, sock->bytesAvailable()); });
    connect(sock, &QTcpSocket::bytesWritten, this, [this, index, sock](qint64 written) {
        const qint64 remaining = sock->bytesToWrite();
        Q_EMIT SendProgress(index, written, remaining);
        if (remaining == 0)
            Q_EMIT SendComplete(index);
    });
    connect(sock, &QTcpSocket::disconnected, this, [this, index] { onDisconnected(index); });
    connect(sock, &QTcpSocket::errorOccurred, this, [this, index] { onSocketError(index); });
    m_elements.push_back(std::move(el));
    return index;
}

int SocketArray::State(int index) const
{
    if (index == 0)
        return m_listener->isListening() ? StateListening : StateClosed;
    if (index < 0 || index > UBound())
        return StateClosed;
    const Element &el = *m_elements[std::size_t(index)];
    switch (el.socket.state()) {
    case QAbstractSocket::UnconnectedState:
        return el.failed ? StateError : StateClosed;
    case QAbstractSocket::HostLookupState:
        return StateResolving;
    case QAbstractSocket::ConnectingState:
        return StateConnecting;
    case QAbstractSocket::ConnectedState:
        return StateConnected;
    case QAbstractSocket::BoundState:
        return StateOpen;
    case QAbstractSocket::ListeningState:
        return StateListening;
    case QAbstractSocket::ClosingState:
        return StateClosing;
    }
    return StateError;
}

bool SocketArray::Listen(qint32 port)
{
    m_listenError.clear();
    if (port < 1 || port > 65535) {
        m_listenError = QStringLiteral("the port must be from 1 to 65535");
        return false;
    }
    if (m_listener->listen(QHostAddress::Any, quint16(port)))
        return true;
    switch (m_listener->serverError()) {
    case QAbstractSocket::SocketAccessError:
        m_listenError = QStringLiteral("permission denied (ports below 1024 need root or the "
                                       "CAP_NET_BIND_SERVICE capability)");
        break;
    case QAbstractSocket::AddressInUseError:
        m_listenError = QStringLiteral("the port is already in use by another program");
        break;
    default:
        m_listenError = m_listener->errorString();
        break;
    }
    return false;
}

QString SocketArray::ListenError() const { return m_listenError; }

qint32 SocketArray::LocalPort() const { return m_listener->serverPort(); }

QString SocketArray::LocalIP()
{
    // The listener takes every address; report the one a tablet on the local
    // network would use: the first address of an interface that is up and is
    // not the loopback.
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nif : interfaces) {
        const auto flags = nif.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = nif.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            const QHostAddress addr = entry.ip();
            if (addr.protocol() == QAbstractSocket::IPv4Protocol && !addr.isLoopback())
                return addr.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

void SocketArray::Accept(int index, qintptr requestId)
{
    Element &el = *m_elements.at(std::size_t(index));
    el.failed = false;
    el.closingByUs = false;
    ++el.generation;
    if (!el.socket.setSocketDescriptor(requestId)) {
        // The descriptor is ours now; a socket object that would not take it
        // must not leak it.
        QTcpSocket discard;
        discard.setSocketDescriptor(requestId);
        discard.abort();
        el.failed = true;
    }
}

QByteArray SocketArray::GetData(int index) { return m_elements.at(std::size_t(index))->socket.readAll(); }

bool SocketArray::SendData(int index, const QByteArray &data)
{
    QTcpSocket &sock = m_elements.at(std::size_t(index))->socket;
    if (sock.state() != QAbstractSocket::ConnectedState)
        return false;
    return sock.write(data) == data.size();
}

bool SocketArray::Flush(int index)
{
    QTcpSocket &sock = m_elements.at(std::size_t(index))->socket;
    if (sock.state() != QAbstractSocket::ConnectedState)
        return false;
    // flush() is false also when the system takes nothing right now (its
    // buffer is full); the bytes then go when it has room, as usual.
    sock.flush();
    return true;
}

qint64 SocketArray::BytesQueued(int index) const
{
    return m_elements.at(std::size_t(index))->socket.bytesToWrite();
}

void SocketArray::Close(int index)
{
    if (index == 0) {
        m_listener->close();
        return;
    }
    Element &el = *m_elements.at(std::size_t(index));
    el.closingByUs = true;
    el.failed = false;
    QTcpSocket &sock = el.socket;
    if (sock.state() != QAbstractSocket::UnconnectedState) {
        // Hand whatever is queued to the system, which sends it after the
        // close as it would for any program. Unread input is drained first:
        // closing over unread bytes makes the system answer with a reset,
        // which can destroy the response still in flight.
        sock.flush();
        sock.readAll();
        sock.abort();
    }
    el.closingByUs = false;
}

void SocketArray::onDisconnected(int index)
{
    Element &el = *m_elements[std::size_t(index)];
    if (el.closingByUs)
        return;
    Q_EMIT CloseEvent(index);
}

void SocketArray::onSocketError(int index)
{
    Element &el = *m_elements[std::size_t(index)];
    QTcpSocket &sock = el.socket;
    // The peer closing is reported as a close, not as an error.
    if (el.closingByUs || sock.error() == QAbstractSocket::RemoteHostClosedError)
        return;
    el.failed = true;
    // Raised from the event loop rather than from inside Qt's own error
    // handling, where closing the socket under its feet is not safe.
    const quint64 generation = el.generation;
    const int number = int(sock.error());
    const QString description = sock.errorString();
    QMetaObject::invokeMethod(this, [this, index, generation, number, description] {
        const Element &now = *m_elements[std::size_t(index)];
        if (now.generation == generation && now.failed)
            Q_EMIT Error(index, number, description);
    }, Qt::QueuedConnection);
}

} // namespace vanterel::http
