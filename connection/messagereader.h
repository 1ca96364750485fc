#pragma once

#include "connection/protocol.h"

#include <QByteArray>
#include <QByteArrayView>

// Cuts a byte stream into whole messages. Bytes are fed in as they arrive, in pieces of any size;
// next() then hands out every message that is complete, in order, and leaves a partial one
// waiting for the rest of its bytes.
//
// Consumed messages are not cut off the front of the buffer one by one: the reader keeps an
// offset and drops the consumed prefix once, on the next append, so a read that brings
// thousands of small messages costs time linear in its bytes.
class MessageReader
{
public:
    struct Message
    {
        quint8 kind = 0;
        // Both valid until the next call of append() or clear().
        QByteArrayView payload;
        QByteArrayView bytes; // the whole message, header included, as it arrived
    };

    void append(QByteArrayView bytes);
    // Takes the next complete message, or returns false when none is complete.
    bool next(Message *message);
    // Forgets every byte, complete or not: used when a connection ends or a new one starts.
    void clear();

    // Bytes received and not yet handed out.
    qsizetype pendingBytes() const { return m_buffer.size() - m_offset; }
    // Payload length announced by a message whose bytes have only partly arrived, or -1.
    int awaitedLength() const;

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0;
};
