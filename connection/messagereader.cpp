#include "connection/messagereader.h"

void MessageReader::append(QByteArrayView bytes)
{
    if (m_offset > 0) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(bytes.data(), bytes.size());
}

bool MessageReader::next(Message *message)
{
    const qsizetype available = m_buffer.size() - m_offset;
    if (available < Protocol::HeaderSize)
        return false;

    const char *start = m_buffer.constData() + m_offset;
    const Protocol::MessageHeader header = Protocol::decodeHeader(start);
    const qsizetype total = Protocol::HeaderSize + qsizetype(header.length);
    if (available < total)
        return false;

    message->kind = header.kind;
    message->payload = QByteArrayView(start + Protocol::HeaderSize, header.length);
    message->bytes = QByteArrayView(start, total);
    m_offset += total;
    return true;
}

void MessageReader::clear()
{
    m_buffer.clear();
    m_offset = 0;
}

int MessageReader::awaitedLength() const
{
    if (pendingBytes() < Protocol::HeaderSize)
        return -1;
    return Protocol::decodeHeader(m_buffer.constData() + m_offset).length;
}
