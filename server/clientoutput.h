#pragma once

#include <QByteArray>
#include <QtGlobal>

// What PictureServer needs of a client that does not come over its own TCP listener (a web
// viewer on a WebSocket, say): a way to send bytes, how many are still unsent, and a way to end
// it. The transport tells the server of input and of the peer leaving; the server decides,
// through the same limits as for its own clients, when to end it.
class ClientOutput
{
public:
    virtual ~ClientOutput() = default;

    // Queues whole protocol messages for the peer. Returns false when the peer is gone, which may
    // have happened inside this call.
    virtual bool write(const QByteArray &bytes) = 0;
    // Bytes written and not yet taken by the peer, in the transport and in the kernel.
    virtual qint64 queuedOutput() const = 0;
    // Ends the connection. The transport must not call back into the server from inside it.
    virtual void close() = 0;
};
