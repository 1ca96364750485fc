// A server's output to one client on a real loopback TCP connection with small kernel buffers:
// what the kernel will not take is queued and sent, in order, once the peer reads; unsent bytes
// are counted wherever they wait; a peer that resets fails the write.

#include "server/eventpoller.h"
#include "server/socketoutput.h"

#include <QtTest>

#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {

void setBuffer(int fd, int option, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
}

// A connected pair on 127.0.0.1: the server's end non-blocking with a small send buffer, the
// peer's with a small receive buffer, so that a few kilobytes fill the kernel.
struct Connection
{
    Connection()
    {
        const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(listening, 1);
        ::getsockname(listening, reinterpret_cast<sockaddr *>(&address), &length);
        peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        setBuffer(peer, SO_RCVBUF, 4096);
        ::connect(peer, reinterpret_cast<sockaddr *>(&address), sizeof address);
        server = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        ::close(listening);
        setBuffer(server, SO_SNDBUF, 4096);
    }
    ~Connection()
    {
        if (peer >= 0)
            ::close(peer);
        ::close(server);
    }
    // Takes whatever the peer's kernel holds.
    void read()
    {
        char buffer[65536];
        ssize_t count = 0;
        while ((count = ::recv(peer, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, count);
    }
    qint64 peerInput() const
    {
        int bytes = 0;
        ::ioctl(peer, SIOCINQ, &bytes);
        return bytes;
    }
    void reset()
    {
        const linger hard{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(peer);
        peer = -1;
    }

    int server = -1;
    int peer = -1;
    QByteArray received;
};

// The output of the server's end, watched by a poller that hands it room to write and stops
// watching a peer that is gone, as the server does.
struct Watched final : EventPoller::Handler
{
    explicit Watched(int fd)
        : fd(fd)
        , output(&poller, fd)
    {
        added = poller.add(fd, this);
    }
    void handleEvents(quint32 events) override
    {
        ++calls;
        if ((events & EPOLLOUT) && !output.flush()) {
            ++failures;
            poller.remove(fd);
        }
    }
    EventPoller poller;
    int fd = -1;
    SocketOutput output;
    bool added = false;
    int calls = 0;
    int failures = 0;
};

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed * 13) % 251);
    return bytes;
}

} // namespace

class tst_SocketOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void queuedBytesFollowInOrder_data();
    void queuedBytesFollowInOrder();
    void resetPeerFailsTheWrite_data();
    void resetPeerFailsTheWrite();
};

void tst_SocketOutput::queuedBytesFollowInOrder_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("pieces");
    QTest::newRow("one byte at a time") << 1 << 40000;
    QTest::newRow("8-byte relays") << 8 << 20000;
    QTest::newRow("pieces of 1000 bytes") << 1000 << 300;
    QTest::newRow("one piece of 1 MiB") << (1 << 20) << 1;
}

// Writes far more than the kernel takes while the peer does not read, then lets it read: every
// byte arrives once and in order, the queue empties, and the output stops asking for room.
void tst_SocketOutput::queuedBytesFollowInOrder()
{
    QFETCH(int, pieceSize);
    QFETCH(int, pieces);

    Connection connection;
    QVERIFY(connection.server >= 0);
    Watched watched(connection.server);
    QVERIFY(watched.added);
    SocketOutput &output = watched.output;

    QByteArray expected;
    for (int i = 0; i < pieces; ++i) {
        const QByteArray piece = pattern(pieceSize, i);
        QVERIFY(output.write(piece));
        expected += piece;
    }
    QVERIFY(output.queued() > 0);
    QVERIFY(output.queued() < expected.size());
    QVERIFY(output.isWaitingForRoom());
    // Every byte not yet with the peer is counted: queued here, or held by the kernel.
    QTRY_COMPARE(output.unsent(0) + connection.peerInput(), qint64(expected.size()));
    // Under a limit the kernel's buffer cannot reach, the kernel is not asked.
    QCOMPARE(output.unsent(std::numeric_limits<qint64>::max()), output.queued());

    QVERIFY(QTest::qWaitFor([&] {
        connection.read();
        return connection.received.size() >= expected.size();
    }));
    QCOMPARE(connection.received.size(), expected.size());
    QVERIFY(connection.received == expected);
    QTRY_VERIFY(!output.isWaitingForRoom());
    QCOMPARE(output.queued(), 0);
    QCOMPARE(watched.failures, 0);

    // With room again, a write goes straight out.
    const int callsBefore = watched.calls;
    QVERIFY(output.write("tail"));
    QCOMPARE(output.queued(), 0);
    QVERIFY(QTest::qWaitFor([&] {
        connection.read();
        return connection.received.endsWith("tail");
    }));
    QCOMPARE(watched.calls, callsBefore);
}

void tst_SocketOutput::resetPeerFailsTheWrite_data()
{
    QTest::addColumn<bool>("withQueue");
    QTest::newRow("nothing queued") << false;
    QTest::newRow("bytes queued") << true;
}

void tst_SocketOutput::resetPeerFailsTheWrite()
{
    QFETCH(bool, withQueue);

    Connection connection;
    Watched watched(connection.server);
    QVERIFY(watched.added);
    SocketOutput &output = watched.output;
    if (withQueue) {
        QVERIFY(output.write(pattern(1 << 20, 0)));
        QVERIFY(output.queued() > 0);
    }
    connection.reset();

    if (withQueue) {
        // The poller reports the reset, and sending the queue fails.
        QTRY_COMPARE(watched.failures, 1);
    } else {
        QVERIFY(!output.write("after the reset"));
    }
    QVERIFY2(output.error() == ECONNRESET || output.error() == EPIPE,
             qPrintable(QString::number(output.error())));
    // Once failed, it stays failed.
    QVERIFY(!output.write("more"));
    QVERIFY(!output.flush());
}

QTEST_GUILESS_MAIN(tst_SocketOutput)
#include "tst_socketoutput.moc"
