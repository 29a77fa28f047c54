#pragma once

#include "http/ConnectionSlot.h"
#include "http/LiveChannel.h"
#include "http/NetworkThread.h"
#include "http/RequestHandler.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <queue>

#include <boost/asio/io_context.hpp>
#include <deque>
#include <vector>

namespace vanterel::http {

class IdleSweep;
class Pacer;
struct SlotInfo;

// The connections: reading each request, handing it to request handling,
// and sending the response, its file a piece per tick, until the socket has
// taken every byte. Slot k carries connection k; slots are made on demand,
// never destroyed, and the lowest closed one is taken again. Network thread
// only.
class ConnectionSlots final : public Connections {
public:
    ConnectionSlots(boost::asio::io_context &io, const LoopThread &loop, Pacer &pacer, IdleSweep &idleSweep,
                    EventSink &log, ServingRules rules, const QString &documentRoot,
                    RequestHandler::CommandRunner runCommand);
    ~ConnectionSlots() override;

    // The listener accepted a connection.
    void accept(socketio::Handle fd, const socketio::PeerAddress &peer, boost::asio::ip::tcp protocol,
                quint16 localPort);
    // The pacer's tick for a slot it was given.
    void onTick(int index, quint32 generation);
    // The idle sweep's deadline for a connection: closed when it is still
    // that one and has sent nothing. True when it was closed.
    bool closeIfSilent(int index, quint32 generation);

    void setDocumentRoot(const QString &documentRoot);
    // Closes every connection and its file.
    void closeAll();
    // Slot 0 is described as closed: the listener knows whether it listens.
    std::vector<SlotInfo> describe() const;

    // What request handling does to the connection it answers.
    void takeOver(int index) override;
    void sendText(int index, const QByteArray &response) override;
    void sendFile(int index, const QByteArray &header, FileHandle file, qint64 length,
                  const QString &filePath) override;

private:
    // Says once per page when a served page lacks the viewport meta tag.
    void hintAtViewport(const ConnectionSlot &s, qsizetype headerSize, qint64 length, const QString &path);

    ConnectionSlot &slot(int index) { return m_slots[std::size_t(index)]; }

    void readFrom(int k);
    void waitReadable(int k);
    void waitWritable(int k);
    template <typename Then>
    void waitFor(int k, boost::asio::ip::tcp::socket::wait_type what, bool ConnectionSlot::*waiting,
                 Then then);
    bool ensureRegistered(int k);
    const QString &peerText(const socketio::PeerAddress &peer);
    void after(int k, Push p);
    void onSendComplete(int k);
    void activate(int k);
    void sendPiece(int k);
    void finish(int k);
    void onError(int k, int error);
    void CloseConnection(int k);
    // A WebSocket handshake for the live channel: true when the channel took
    // the connection over, false when it was refused and answered 403.
    bool openLive(int k, const QByteArray &handshake, const ConnectionInfo &connection);
    void onLiveEnded(int k, quint32 generation);

    const LoopThread &m_loop;
    boost::asio::io_context &m_io;
    Pacer &m_pacer;
    IdleSweep &m_idleSweep;
    EventSink &m_log;
    QSet<QString> m_hintedPages; // judged once each: see hintAtViewport
    RequestHandler m_handler;
    const ServingRules m_rules;
    LiveChannels m_live;
    // Slots never move: waits and handlers refer to them by index while
    // others are added.
    std::deque<ConnectionSlot> m_slots;
    std::priority_queue<int, std::vector<int>, std::greater<>> m_freeSlots;
    std::vector<char> m_readBuffer;
    socketio::PeerAddress m_lastPeer;
    QString m_lastPeerText;
};

} // namespace vanterel::http
