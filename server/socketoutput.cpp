#include "server/socketoutput.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

SocketOutput::SocketOutput(EventPoller *poller, int fd)
    : m_poller(poller)
    , m_fd(fd)
{
    int sendBuffer = 0;
    socklen_t length = sizeof sendBuffer;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length) != 0)
        sendBuffer = -1;
    // The kernel lets a write past its send buffer by up to one segment of 64 KiB; without a
    // figure, the kernel is always asked.
    m_kernelCapacity = sendBuffer < 0 ? -1 : qint64(sendBuffer) + 64 * 1024;
}

qint64 SocketOutput::sendSome(const char *data, qint64 size)
{
    for (;;) {
        // MSG_NOSIGNAL: a peer that is gone fails the send instead of raising SIGPIPE.
        const ssize_t sent = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0)
            return sent;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        m_error = errno;
        return -1;
    }
}

bool SocketOutput::write(QByteArrayView bytes)
{
    if (m_error != 0)
        return false;
    qint64 sent = 0;
    if (queued() == 0) {
        sent = sendSome(bytes.data(), bytes.size());
        if (sent < 0)
            return false;
        if (sent == bytes.size())
            return true;
    }
    // Behind what is queued, or what the kernel would not take now: in order, after it.
    m_queue.append(bytes.data() + sent, bytes.size() - sent);
    waitForRoom(true);
    return true;
}

bool SocketOutput::flush()
{
    if (m_error != 0)
        return false;
    while (queued() > 0) {
        const qint64 sent =
            sendSome(m_queue.constData() + m_sentFromQueue, m_queue.size() - m_sentFromQueue);
        if (sent < 0)
            return false;
        if (sent == 0) {
            // Still full: the poller reports the next room. What went out is cut off once it is
            // half the buffer, so that a reader that never quite catches up does not make the
            // buffer grow for ever.
            if (m_sentFromQueue >= m_queue.size() / 2) {
                m_queue.remove(0, m_sentFromQueue);
                m_sentFromQueue = 0;
            }
            return true;
        }
        m_sentFromQueue += sent;
    }
    // All out: the memory goes too, since most clients never need it again.
    m_queue = QByteArray();
    m_sentFromQueue = 0;
    waitForRoom(false);
    return true;
}

void SocketOutput::waitForRoom(bool wait)
{
    if (m_waiting == wait)
        return;
    m_waiting = wait;
    m_poller->setWriting(m_fd, wait);
}

qint64 SocketOutput::unsent(qint64 limit) const
{
    const qint64 own = queued();
    if (m_kernelCapacity >= 0 && own + m_kernelCapacity <= limit)
        return own;
    int kernel = 0;
    if (::ioctl(m_fd, SIOCOUTQ, &kernel) != 0)
        kernel = 0;
    return own + kernel;
}
