#include "http/Server.h"

#include "common/EventSink.h"
#include "common/Settings.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(lcServer, "vanterel.http", QtWarningMsg)

namespace vanterel::http {

namespace {
// The close of one slot lets pending events run, and those may close other
// slots, which let events run in turn: a burst of thousands of disconnects
// would nest that deep and run out of stack. Past this depth a close does
// not wait (our Close takes the socket down at once; only a socket still
// open needs the wait), and the closes further out let the events run.
constexpr int MaxNestedCloseWaits = 16;

// How often the idle connections are looked for: a connection is closed late
// by no more than a quarter of the idle time, and no more than a second.
std::chrono::milliseconds idleSweepInterval(std::chrono::milliseconds timeout)
{
    return std::clamp(timeout / 4, std::chrono::milliseconds(1), std::chrono::milliseconds(1000));
}
} // namespace

Server::Server(Settings &settings, EventSink &log, QObject *parent)
    : QObject(parent), m_settings(settings), m_log(log)
{
    m_slots.emplace_back();
    m_timers.push_back(nullptr);
    connect(&m_sck, &SocketArray::ConnectionRequest, this,
            [this](int, qintptr requestId) { onConnectionRequest(requestId); });
    connect(&m_sck, &SocketArray::DataArrival, this, [this](int index, qint64) {
        m_slots[std::size_t(index)].IdleDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
        if (m_requestHandler)
            m_requestHandler(index);
        else
            m_sck.GetData(index);
    });
    connect(&m_sck, &SocketArray::SendProgress, this,
            [this](int index, qint64 sent, qint64) { onSendProgress(index, sent); });
    connect(&m_sck, &SocketArray::SendComplete, this, &Server::onSendComplete);
    connect(&m_sck, &SocketArray::CloseEvent, this, &Server::CloseConnection);
    connect(&m_sck, &SocketArray::Error, this,
            [this](int index, int, const QString &description) { onError(index, description); });
    connect(&m_sck, &SocketArray::AcceptError, this, [this](const QString &reason) {
        // Out of descriptors, most likely: say it once, not once per retry.
        if (!m_acceptErrorLogged)
            qCWarning(lcServer).noquote() << "Cannot accept connections for now:" << reason;
        m_acceptErrorLogged = true;
    });
    m_idleSweep = new QTimer(this);
    m_idleSweep->setInterval(idleSweepInterval(m_idleTimeout));
    connect(m_idleSweep, &QTimer::timeout, this, &Server::closeIdleConnections);
}

Server::~Server() = default;

bool Server::StartListening()
{
    return m_sck.Listen(m_settings.ServerPort) && m_sck.State(0) == SocketArray::StateListening;
}

QString Server::ListeningLine() const
{
    return QStringLiteral("Server listening on address ") + SocketArray::LocalIP()
        + QLatin1Char(':') + QString::number(m_settings.ServerPort);
}

QString Server::ListenFailureLine() const
{
    return QStringLiteral("Server could not listen on port ") + QString::number(m_settings.ServerPort)
        + QStringLiteral(": ") + m_sck.ListenError();
}

void Server::StopListening() { m_sck.Close(0); }

void Server::setRequestHandler(std::function<void(int)> handler) { m_requestHandler = std::move(handler); }

void Server::setIdleTimeout(std::chrono::milliseconds timeout)
{
    m_idleTimeout = timeout;
    if (timeout.count() > 0)
        m_idleSweep->setInterval(idleSweepInterval(timeout));
}

void Server::closeIdleConnections()
{
    bool waiting = false;
    // The closes let events run, which may add slots: the size is read anew.
    for (int i = 1; i < int(m_slots.size()); ++i) {
        const ConnectionSlot &slot = m_slots[std::size_t(i)];
        if (slot.IdleDeadline.isForever() || slot.Closing)
            continue;
        if (!slot.IdleDeadline.hasExpired()) {
            waiting = true;
            continue;
        }
        qCInfo(lcServer) << "Connection" << i << "sent nothing in" << m_idleTimeout.count() << "ms; closed";
        CloseConnection(i);
        Q_EMIT IdleClosed(i);
    }
    // Nobody left to watch: the timer rests until the next connection.
    if (!waiting)
        m_idleSweep->stop();
}

int Server::createSlot()
{
    const int k = m_sck.Load();
    m_slots.emplace_back();
    auto *timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(1);
    connect(timer, &QTimer::timeout, this, [this, k] { onTick(k); });
    m_timers.push_back(timer);
    return k;
}

void Server::onConnectionRequest(qintptr requestId)
{
    m_acceptErrorLogged = false;
    // The lowest closed slot is reused. A slot whose close is still letting
    // events run reports closed already but is not free yet.
    int k = 0;
    for (int i = 1; i <= m_sck.UBound(); ++i) {
        if (m_sck.State(i) == SocketArray::StateClosed && !m_slots[std::size_t(i)].Closing) {
            k = i;
            break;
        }
    }
    if (k == 0)
        k = createSlot();
    ConnectionSlot &slot = m_slots[std::size_t(k)];
    slot.FilePath.clear();
    slot.File.reset();
    slot.BytesToSend = 0;
    slot.BytesSent = 0;
    m_sck.Accept(k, requestId);
    if (m_idleTimeout.count() > 0) {
        slot.IdleDeadline = QDeadlineTimer(m_idleTimeout);
        if (!m_idleSweep->isActive())
            m_idleSweep->start();
    }
}

void Server::onSendProgress(int index, qint64 bytesSent)
{
    m_slots[std::size_t(index)].BytesSent += bytesSent;
}

void Server::onSendComplete(int index)
{
    ConnectionSlot &slot = m_slots[std::size_t(index)];
    if (slot.BytesSent < slot.BytesToSend) {
        QTimer *timer = m_timers[std::size_t(index)];
        timer->setInterval(1);
        timer->start();
        return;
    }
    CloseConnection(index);
    m_log.AddMsg(QStringLiteral("Finished Transfer."));
    m_log.WriteLogLine(QStringLiteral("Finished Transfer ") + QString::number(index));
    Q_EMIT TransferFinished(index);
}

void Server::CloseConnection(int index)
{
    if (index <= 0 || index >= int(m_slots.size()))
        return;
    ConnectionSlot &slot = m_slots[std::size_t(index)];
    // The wait below lets events run; one of them may be a second close of
    // this same slot (the peer's close racing ours), which has nothing to add.
    if (slot.Closing)
        return;
    m_timers[std::size_t(index)]->stop();
    slot.Closing = true;
    slot.IdleDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    ++m_closeDepth;
    do {
        m_sck.Close(index);
        if (m_closeDepth <= MaxNestedCloseWaits || m_sck.State(index) != SocketArray::StateClosed)
            QCoreApplication::processEvents();
    } while (m_sck.State(index) != SocketArray::StateClosed);
    --m_closeDepth;
    // Events that ran during the wait may have grown the arrays: index again.
    ConnectionSlot &done = m_slots[std::size_t(index)];
    done.File.reset();
    done.FilePath.clear();
    done.BytesToSend = 0;
    done.BytesSent = 0;
    done.Closing = false;
}

void Server::Shutdown()
{
    m_sck.Close(0);
    for (int i = 1; i < int(m_slots.size()); ++i) {
        m_timers[std::size_t(i)]->stop();
        if (m_sck.State(i) != SocketArray::StateClosed)
            m_sck.Close(i);
        m_slots[std::size_t(i)].File.reset();
        m_slots[std::size_t(i)].IdleDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    }
    m_idleSweep->stop();
}

void Server::StartResponse(int index, const QByteArray &text, std::unique_ptr<QFile> file,
                           qint64 totalBytes, const QString &filePath)
{
    ConnectionSlot &slot = m_slots.at(std::size_t(index));
    slot.File = std::move(file);
    slot.FileLength = slot.File ? slot.File->size() : 0;
    if (slot.File)
        slot.FilePath = filePath;
    slot.BytesToSend = totalBytes;
    if (!m_sck.SendData(index, text))
        CloseConnection(index);
}

void Server::ResetForNewResponse(int index, qint64 bytesSent)
{
    ConnectionSlot &slot = m_slots.at(std::size_t(index));
    m_timers[std::size_t(index)]->stop();
    slot.File.reset();
    slot.FilePath.clear();
    slot.BytesToSend = 0;
    slot.BytesSent = bytesSent;
}

void Server::SetPendingText(int index, const QByteArray &text) { m_slots.at(std::size_t(index)).PendingText = text; }

bool Server::TimerArmed(int index) const { return m_timers.at(std::size_t(index))->isActive(); }

void Server::onTick(int index)
{
    ConnectionSlot &slot = m_slots[std::size_t(index)];
    QTimer *timer = m_timers[std::size_t(index)];
    if (!slot.File) {
        timer->stop();
        return;
    }
    QFile &file = *slot.File;
    const qint64 read = file.pos();
    const qint64 actual = file.size();
    // A file that grew is sent as long as its header said, no more.
    const qint64 length = std::min(actual, slot.FileLength);
    const qint64 piece = (read + PieceSize > length) ? length - read : PieceSize;
    const QByteArray bytes = piece > 0 ? file.read(piece) : QByteArray();
    timer->stop();
    if (actual < slot.FileLength || bytes.size() < piece || piece <= 0) {
        // The file shrank (or could not be read) after its length went out in
        // the header: the response can never be completed. Send what there is
        // and close, so the client sees a short body instead of waiting forever.
        qCWarning(lcServer).noquote() << "File changed while being sent:" << slot.FilePath;
        if (!bytes.isEmpty())
            m_sck.SendData(index, bytes);
        CloseConnection(index);
        return;
    }
    // The file is closed in the tick that reads its last byte.
    if (file.pos() >= length)
        slot.File.reset();
    Q_EMIT PieceSent(index, bytes.size());
    // Handing the piece to the system now, rather than on the next turn of the
    // event loop, lets its send-complete arm the next tick at once: a piece
    // per timer interval instead of a piece per interval and a turn. The slot
    // may be closed (and the slot array grown) by the time this returns.
    if (!m_sck.SendData(index, bytes) || !m_sck.Flush(index))
        CloseConnection(index);
}

void Server::onError(int index, const QString &description)
{
    // The connection is beyond use (reset by the peer, typically). Its file and
    // timer would otherwise be held for ever; closing the socket makes the slot
    // free for the next connection.
    qCInfo(lcServer).noquote() << "Connection" << index << "failed:" << description;
    CloseConnection(index);
}

} // namespace vanterel::http
