#pragma once

#include "http/DocumentRoot.h"
#include "http/SocketIo.h"

#include <QByteArray>
#include <QString>

#include <boost/asio/ip/tcp.hpp>
#include <memory>

namespace vanterel::http {

// How far a send got.
enum class Push {
    Done,      // the socket took everything queued
    Blocked,   // the socket has no room; wait until it has
    Failed,    // the connection is gone
    FileEnded, // the file holds fewer bytes than its header announced
};

// One connection slot: the socket of one connection and its response.
struct ConnectionSlot {
    enum State {
        Closed = 0,
        Listening = 2, // slot 0 only
        Connected = 7,
    };

    // --- Kept from one connection to the next ---
    // Counts the connections, so that a wait that ends after its connection
    // was closed never touches the next one.
    quint32 generation = 0;
    // Made when the slot first has to wait for its socket; from then on it
    // owns the descriptor. Most requests are read and answered at once and
    // never wait, which spares the calls that registering a socket costs.
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;

    // --- One connection's, emptied by reset() ---
    int state = Closed;
    socketio::Handle fd = socketio::InvalidHandle;
    boost::asio::ip::tcp protocol = boost::asio::ip::tcp::v4();
    socketio::PeerAddress peer;
    quint16 localPort = 0;
    bool registered = false;
    // The live channel (LiveChannel.h) has the socket: the slot only stands
    // for it, open while the channel is.
    bool live = false;
    bool gotData = false;
    bool peerShutDown = false;
    // The connection is read from: before its request, and while a response
    // of more than one piece is sent (a further request takes the slot over).
    bool readOn = false;
    int lastError = 0;
    bool reading = false;
    bool writing = false;
    bool active = false; // waits for the next tick
    bool pushPending = false;
    Push pending = Push::Done;

    // The response.
    FileHandle file;
    qint64 fileLength = 0; // as announced in the header
    qint64 fileOffset = 0;
    qint64 pieceLeft = 0; // of the piece being sent, not yet taken
    qint64 BytesToSend = 0;
    qint64 BytesSent = 0;
    QString FilePath;
    QByteArray unsent; // handed to us, not yet taken by the socket
    qsizetype unsentAt = 0;

    qsizetype unsentSize() const { return unsent.size() - unsentAt; }

    // Empties the slot for its next connection: everything goes but the
    // socket object, and the generation moves on.
    void reset();
    // Puts bytes behind those not yet taken by the socket.
    void queue(const QByteArray &bytes);
    // Sends what is queued, then the rest of the current piece of the file.
    Push push();

    // A further request on the connection: the earlier response's file and
    // counts go (bytes of it still queued are sent all the same).
    void takeOver();
    // Queues a whole response of text.
    void startText(const QByteArray &response);
    // Queues a file response's header with the file's first piece.
    void startFile(const QByteArray &header, FileHandle file, qint64 length, const QString &filePath);
};

} // namespace vanterel::http
