#include "http/ConnectionSlots.h"

#include "common/EventSink.h"
#include "http/Pacer.h"
#include "http/Pacing.h"
#include "http/Server.h"

namespace vanterel::http {

namespace {

using boost::asio::ip::tcp;

// What one arrival is read into; an arrival larger than this is read on in
// further calls and handled whole.
constexpr std::size_t ReadBufferSize = std::size_t{64} * 1024;

} // namespace

ConnectionSlots::ConnectionSlots(boost::asio::io_context &io, const LoopThread &loop, Pacer &pacer,
                                 IdleSweep &idleSweep, EventSink &log, ServingRules rules,
                                 const QString &documentRoot, RequestHandler::CommandRunner runCommand)
    : m_loop(loop)
    , m_io(io)
    , m_pacer(pacer)
    , m_idleSweep(idleSweep)
    , m_log(log)
    , m_handler(*this, log, rules, documentRoot, runCommand)
    , m_rules(rules)
    , m_live(io, log, std::move(rules), std::move(runCommand),
             [this](int k, quint32 generation) { onLiveEnded(k, generation); })
{
    m_slots.emplace_back(); // slot 0 belongs to the listener
    m_readBuffer.resize(ReadBufferSize);
}

ConnectionSlots::~ConnectionSlots() = default;

// --- Accepting ------------------------------------------------------------

void ConnectionSlots::accept(socketio::Handle fd, const socketio::PeerAddress &peer, tcp protocol,
                             quint16 localPort)
{
    Q_ASSERT(m_loop.isCurrent());
    int k = 0;
    if (m_freeSlots.empty()) {
        m_slots.emplace_back();
        k = int(m_slots.size()) - 1;
    } else {
        k = m_freeSlots.top();
        m_freeSlots.pop();
    }
    ConnectionSlot &s = slot(k);
    s.fd = fd;
    s.protocol = protocol;
    s.peer = peer;
    s.localPort = localPort;
    s.state = ConnectionSlot::Connected;
    s.readOn = true;
    m_idleSweep.watch(k, s.generation);
    // Browsers send their request right after connecting, so it is often
    // here already: read at once rather than after a turn of the loop.
    readFrom(k);
}

bool ConnectionSlots::closeIfSilent(int index, quint32 generation)
{
    Q_ASSERT(m_loop.isCurrent());
    const ConnectionSlot &s = slot(index);
    if (s.generation != generation || s.state != ConnectionSlot::Connected || s.gotData)
        return false;
    CloseConnection(index);
    return true;
}

// --- Reading --------------------------------------------------------------

void ConnectionSlots::readFrom(int k)
{
    ConnectionSlot &s = slot(k);
    const quint32 generation = s.generation;
    QByteArray arrival;
    bool ended = false;
    int error = 0;
    for (;;) {
        const socketio::Result r = socketio::receive(s.fd, m_readBuffer.data(), m_readBuffer.size());
        if (r.error != 0) {
            error = r.error;
            break;
        }
        if (r.wouldBlock)
            break;
        if (r.bytes == 0) {
            ended = true;
            break;
        }
        arrival.append(m_readBuffer.data(), qsizetype(r.bytes));
        if (std::size_t(r.bytes) < m_readBuffer.size())
            break;
    }

    if (!arrival.isEmpty()) {
        s.gotData = true;
        // Short responses are over before anything more could be read; a
        // longer one reads on from its first piece (sendPiece).
        s.readOn = false;
        const ConnectionInfo connection{peerText(s.peer), s.localPort};
        // A handshake on a connection with nothing on its way out; anything
        // else, a plain GET of the channel's path included, is a request.
        const bool idle = !s.file && s.unsentSize() == 0 && !s.writing && !s.reading;
        if (idle && isLiveUpgrade(arrival)) {
            if (openLive(k, arrival, connection))
                return;
        } else {
            m_handler.handle(k, arrival, connection);
        }
        if (s.pushPending) {
            s.pushPending = false;
            after(k, s.pending);
        }
        if (s.generation != generation)
            return;
    }
    if (error != 0) {
        onError(k, error);
        return;
    }
    if (ended) {
        // The peer will send nothing more. A peer that only shut down its
        // sending side (as nc -N and some HTTP libraries do) still reads: it
        // gets its whole response. One that closed completely makes the next
        // send fail, which ends the connection then.
        s.peerShutDown = true;
        const bool responding = s.file || s.unsentSize() > 0 || s.pieceLeft > 0;
        if (!responding)
            CloseConnection(k);
        return;
    }
    if (s.readOn)
        waitReadable(k);
}

const QString &ConnectionSlots::peerText(const socketio::PeerAddress &peer)
{
    // A panel's requests come from one tablet or a few, connection after
    // connection: the last peer's text is kept, since writing an address
    // out costs more than a tenth of what a 404 costs the server itself.
    if (m_lastPeerText.isNull() || peer != m_lastPeer) {
        m_lastPeer = peer;
        m_lastPeerText = QString::fromLatin1(socketio::addressText(peer));
    }
    return m_lastPeerText;
}

bool ConnectionSlots::ensureRegistered(int k)
{
    ConnectionSlot &s = slot(k);
    if (s.registered)
        return true;
    if (!s.socket)
        s.socket = std::make_unique<tcp::socket>(m_io);
    boost::system::error_code ec;
    s.socket->assign(s.protocol, s.fd, ec);
    if (ec) {
        onError(k, ec.value());
        return false;
    }
    s.registered = true;
    return true;
}

// Waits once for the socket to become ready; a wait already pending is not
// doubled. A slot taken over by another connection meanwhile ignores it.
template <typename Then>
void ConnectionSlots::waitFor(int k, tcp::socket::wait_type what, bool ConnectionSlot::*waiting, Then then)
{
    ConnectionSlot &s = slot(k);
    if (s.*waiting || !ensureRegistered(k))
        return;
    s.*waiting = true;
    const quint32 generation = s.generation;
    s.socket->async_wait(what, [this, k, generation, waiting, then](const boost::system::error_code &ec) {
        Q_ASSERT(m_loop.isCurrent());
        ConnectionSlot &ready = slot(k);
        if (ready.generation != generation)
            return;
        ready.*waiting = false;
        if (ec) {
            onError(k, ec.value());
            return;
        }
        then(ready);
    });
}

void ConnectionSlots::waitReadable(int k)
{
    waitFor(k, tcp::socket::wait_read, &ConnectionSlot::reading,
            [this, k](ConnectionSlot &) { readFrom(k); });
}

void ConnectionSlots::waitWritable(int k)
{
    waitFor(k, tcp::socket::wait_write, &ConnectionSlot::writing,
            [this, k](ConnectionSlot &s) { after(k, s.push()); });
}

// --- Sending --------------------------------------------------------------

void ConnectionSlots::after(int k, Push p)
{
    switch (p) {
    case Push::Done:
        onSendComplete(k);
        return;
    case Push::Blocked:
        waitWritable(k);
        return;
    case Push::Failed:
        onError(k, slot(k).lastError);
        return;
    case Push::FileEnded:
        // The file shrank after its length went out in the header: the
        // response can never be completed. Close, so that the client sees a
        // short body instead of waiting for ever.
        qCWarning(lcServer).noquote() << "File changed while being sent:" << slot(k).FilePath;
        CloseConnection(k);
        return;
    }
}

void ConnectionSlots::onSendComplete(int k)
{
    ConnectionSlot &s = slot(k);
    if (s.BytesSent < s.BytesToSend) {
        // More is to come from the file, at the next tick. Without a file
        // nothing more will come, and the connection waits for its peer.
        if (s.file)
            activate(k);
        return;
    }
    finish(k);
}

void ConnectionSlots::finish(int k)
{
    CloseConnection(k);
    m_log.AddMsg(QStringLiteral("Finished Transfer."));
    if (m_log.LogEnabled())
        m_log.WriteLogLine(QStringLiteral("Finished Transfer ") + QString::number(k));
}

void ConnectionSlots::onError(int k, int error)
{
    // The connection is beyond use (reset by the peer, typically). Closing it
    // frees its file, its place on the clock and the slot itself.
    qCInfo(lcServer).noquote() << "Connection" << k << "failed:" << socketio::errorText(error);
    CloseConnection(k);
}

void ConnectionSlots::CloseConnection(int k)
{
    ConnectionSlot &s = slot(k);
    if (s.state == ConnectionSlot::Closed)
        return;
    if (s.live) {
        m_live.close(k);
    } else if (s.registered) {
        // Closes the descriptor too; waits still queued end, and find the
        // generation changed.
        boost::system::error_code ignored;
        s.socket->close(ignored);
    } else {
        socketio::closeHandle(s.fd);
    }
    s.reset();
    m_freeSlots.push(k);
}

// --- The live channel -----------------------------------------------------

bool ConnectionSlots::openLive(int k, const QByteArray &handshake, const ConnectionInfo &connection)
{
    ConnectionSlot &s = slot(k);
    const QString text = requestText(handshake);
    if (const QString refusal = liveRefusal(text, m_rules); !refusal.isEmpty()) {
        m_log.AddMsg(QStringLiteral("Refused live channel for ") + connection.peerAddress + refusal);
        if (m_log.LogEnabled())
            m_log.WriteLogLine(QString::number(k) + QStringLiteral(" - Got Data: ") + text);
        sendText(k,
                 "HTTP/1.1 403 Forbidden\r\nServer: " + m_rules.signature.toUtf8()
                     + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return false;
    }
    boost::asio::ip::tcp::socket socket(m_io);
    boost::system::error_code ec;
    if (s.registered) {
        // A moved-from socket has no executor left: the slot makes a new one
        // when its next connection first waits.
        socket = std::move(*s.socket);
        s.socket.reset();
    } else {
        socket.assign(s.protocol, s.fd, ec);
    }
    if (ec) {
        onError(k, ec.value());
        return true;
    }
    s.fd = socketio::InvalidHandle;
    s.registered = false;
    s.live = true;
    m_live.open(k, s.generation, std::move(socket), handshake, connection);
    return true;
}

void ConnectionSlots::onLiveEnded(int k, quint32 generation)
{
    ConnectionSlot &s = slot(k);
    if (s.generation != generation || !s.live)
        return;
    s.reset();
    m_freeSlots.push(k);
}

// --- Pacing ---------------------------------------------------------------

void ConnectionSlots::activate(int k)
{
    ConnectionSlot &s = slot(k);
    if (s.active)
        return;
    s.active = true;
    m_pacer.schedule(k, s.generation);
}

void ConnectionSlots::onTick(int index, quint32 generation)
{
    Q_ASSERT(m_loop.isCurrent());
    ConnectionSlot &s = slot(index);
    if (s.generation != generation || !s.active)
        return;
    s.active = false;
    sendPiece(index);
}

void ConnectionSlots::sendPiece(int k)
{
    ConnectionSlot &s = slot(k);
    // A tick for a slot without a file sends nothing.
    if (!s.file)
        return;
    const quint32 generation = s.generation;
    s.pieceLeft = pacing::pieceLength(s.fileLength, s.fileOffset);
    after(k, s.push());
    // A response of more than one piece: from now on read what the peer
    // sends meanwhile (a further request takes the slot over).
    if (s.generation == generation && !s.peerShutDown) {
        s.readOn = true;
        waitReadable(k);
    }
}

// --- Request handling's calls ---------------------------------------------

void ConnectionSlots::takeOver(int index)
{
    slot(index).takeOver();
}

void ConnectionSlots::sendText(int index, const QByteArray &response)
{
    ConnectionSlot &s = slot(index);
    s.startText(response);
    // What follows the send (closing, the next piece) waits until request
    // handling has written its trace of the send.
    s.pending = s.push();
    s.pushPending = true;
}

void ConnectionSlots::sendFile(int index, const QByteArray &header, FileHandle file, qint64 length,
                               const QString &filePath)
{
    ConnectionSlot &s = slot(index);
    s.startFile(header, std::move(file), length, filePath);
    hintAtViewport(s, header.size(), length, filePath);
    s.pending = s.push();
    s.pushPending = true;
}

void ConnectionSlots::hintAtViewport(const ConnectionSlot &s, qsizetype headerSize, qint64 length,
                                     const QString &path)
{
    if (!(path.endsWith(u".htm", Qt::CaseInsensitive) || path.endsWith(u".html", Qt::CaseInsensitive))
        || m_hintedPages.contains(path))
        return;
    // The first piece went into the queue with the header: read there, not
    // from the disk again.
    const QByteArrayView queued = QByteArrayView(s.unsent).sliced(s.unsentAt);
    if (queued.size() <= headerSize)
        return;
    const QByteArrayView first = queued.sliced(headerSize);
    const bool whole = first.size() >= length;
    const bool lacks = lacksViewportTag(first, whole);
    // Each page is judged once: the hint is said once, and pages that are
    // fine cost nothing after their first request.
    if (lacks || whole || first.contains("</head") || first.contains("<body") || first.contains("<BODY"))
        m_hintedPages.insert(path);
    if (lacks)
        m_log.AddMsg(path + QStringLiteral(" has no viewport meta tag: phones wait 300 ms before each tap"));
}

// --- The server's calls ---------------------------------------------------

void ConnectionSlots::setDocumentRoot(const QString &documentRoot)
{
    Q_ASSERT(m_loop.isCurrent());
    m_handler.setDocumentRoot(documentRoot);
}

void ConnectionSlots::closeAll()
{
    Q_ASSERT(m_loop.isCurrent());
    for (int k = 1; k < int(m_slots.size()); ++k)
        CloseConnection(k);
}

std::vector<SlotInfo> ConnectionSlots::describe() const
{
    Q_ASSERT(m_loop.isCurrent());
    std::vector<SlotInfo> out;
    out.reserve(m_slots.size());
    for (const ConnectionSlot &s : m_slots) {
        SlotInfo info;
        info.state = s.state;
        info.bytesToSend = s.BytesToSend;
        info.bytesSent = s.BytesSent;
        info.hasFile = bool(s.file);
        info.filePath = s.FilePath;
        out.push_back(info);
    }
    return out;
}

} // namespace vanterel::http
