#pragma once

#include "server/eventpoller.h"

#include <QByteArray>
#include <QByteArrayView>

// What the server sends one client over a TCP socket. Bytes go straight to the kernel; only what
// the kernel will not take now is kept here, in order, and only then is the poller asked to report
// room to write, until all of it is gone. A client that keeps up therefore costs one send() per
// write and nothing else: no buffer, no notifier switched on and off.
//
// A send that fails means the peer is gone (reset, or the socket is shut); the caller decides
// when to remove the client, since that may happen in the middle of its own loop.
class SocketOutput
{
public:
    // fd is not owned, nor closed here; it must have been added to poller.
    SocketOutput(EventPoller *poller, int fd);

    // Sends the bytes after any still queued. False when the peer is gone.
    bool write(QByteArrayView bytes);
    // Sends what is queued, when the poller reports room. False when the peer is gone.
    bool flush();

    // Bytes the peer has not taken: those queued here, and when they could matter against limit,
    // those the kernel holds unacknowledged (SIOCOUTQ). Asking the kernel costs a system call, so
    // it is skipped while the kernel's send buffer could not hold enough to reach limit.
    qint64 unsent(qint64 limit) const;
    // Bytes queued here, waiting for room in the kernel.
    qint64 queued() const { return m_queue.size() - m_sentFromQueue; }
    bool isWaitingForRoom() const { return m_waiting; }
    // The errno of the send that failed, or 0.
    int error() const { return m_error; }

private:
    // Sends from data; returns how much the kernel took, or -1 when the peer is gone.
    qint64 sendSome(const char *data, qint64 size);
    void waitForRoom(bool wait);

    EventPoller *m_poller = nullptr;
    int m_fd = -1;
    int m_error = 0;
    bool m_waiting = false;
    // The most the kernel may hold unsent for this socket: its send buffer and one more segment
    // of the largest size it lets past that bound.
    qint64 m_kernelCapacity = 0;
    QByteArray m_queue;
    qsizetype m_sentFromQueue = 0;
};
