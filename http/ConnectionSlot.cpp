#include "http/ConnectionSlot.h"

#include "http/Pacing.h"

namespace vanterel::http {

void ConnectionSlot::reset()
{
    // The connection's file, buffers and counts go with it; the socket object
    // stays for the next connection of the slot.
    ConnectionSlot next;
    next.generation = generation + 1;
    next.socket = std::move(socket);
    *this = std::move(next);
}

void ConnectionSlot::queue(const QByteArray &bytes)
{
    if (unsentSize() == 0) {
        unsent = bytes; // shared, not copied
        unsentAt = 0;
    } else {
        unsent.append(bytes);
    }
}

Push ConnectionSlot::push()
{
    while (unsentSize() > 0) {
        const socketio::Result r
            = socketio::send(fd, unsent.constData() + unsentAt, std::size_t(unsentSize()));
        if (r.error != 0) {
            lastError = r.error;
            return Push::Failed;
        }
        if (r.wouldBlock || r.bytes == 0)
            return Push::Blocked;
        unsentAt += qsizetype(r.bytes);
        BytesSent += r.bytes;
    }
    unsent.clear();
    unsentAt = 0;
    while (pieceLeft > 0) {
        const socketio::Result r = socketio::sendFile(fd, file.get(), fileOffset, std::size_t(pieceLeft));
        if (r.error != 0) {
            lastError = r.error;
            return Push::Failed;
        }
        if (r.wouldBlock)
            return Push::Blocked;
        if (r.bytes == 0)
            return Push::FileEnded;
        fileOffset += r.bytes;
        pieceLeft -= r.bytes;
        BytesSent += r.bytes;
    }
    // The file is closed once its last byte has gone.
    if (file && fileOffset >= fileLength)
        file.reset();
    return Push::Done;
}

void ConnectionSlot::takeOver()
{
    if (!file && BytesToSend == 0)
        return;
    // Bytes of the earlier response still queued will be counted as sent
    // when the socket takes them; starting below zero by that much keeps the
    // new response's count exact. A piece cut short stays cut.
    file.reset();
    active = false;
    pieceLeft = 0;
    FilePath.clear();
    BytesToSend = 0;
    BytesSent = -unsentSize();
}

void ConnectionSlot::startText(const QByteArray &response)
{
    BytesToSend = response.size();
    queue(response);
}

void ConnectionSlot::startFile(const QByteArray &header, FileHandle opened, qint64 length,
                               const QString &filePath)
{
    file = std::move(opened);
    fileLength = length;
    fileOffset = 0;
    FilePath = filePath;
    BytesToSend = header.size() + length;
    // The file's first piece goes with its header, in one call and one
    // segment: a transfer that starts between two ticks of the shared clock
    // would otherwise wait for the next one, half a millisecond on average,
    // which for a small file is most of its time. Every later piece goes
    // with the clock. A file that has shrunk already gets its header alone;
    // the next tick finds it short.
    QByteArray out = header;
    const qint64 first = pacing::pieceLength(length, 0);
    if (first > 0 && unsentSize() == 0) {
        out.resize(header.size() + first);
        const socketio::Result r
            = socketio::readFile(file.get(), out.data() + header.size(), std::size_t(first), 0);
        if (r.bytes == first) {
            fileOffset = first;
            if (fileOffset >= fileLength)
                file.reset();
        } else {
            out.truncate(header.size());
        }
    }
    queue(out);
}

} // namespace vanterel::http
