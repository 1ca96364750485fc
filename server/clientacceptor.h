#pragma once

#include "server/eventpoller.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QString>

#include <functional>
#include <limits>

class QObject;
class QTcpServer;

// Takes connections from the listening socket, as fast or as slowly as the descriptors allow,
// and hands each one, non-blocking, to whoever serves it. QTcpServer only opens the socket: a
// QTcpSocket per client would cost memory and a notifier each.
//
// Every client holds a descriptor. When taking one more would leave none for saving the picture,
// or the system has none left, accepting pauses until a client leaves (resume()), and says why at
// most once a minute.
class ClientAcceptor final : public EventPoller::Handler
{
public:
    // Called for every connection taken; the callee owns fd from then on.
    using Accepted = std::function<void(int fd, const QHostAddress &address, quint16 port)>;

    // The QTcpServer becomes a child of parent. clientCount says how many descriptors clients
    // hold now.
    ClientAcceptor(QObject *parent, EventPoller *poller, std::function<int()> clientCount,
                   Accepted accepted);

    // Opens the socket with openSocket (listen() or setSocketDescriptor() on the QTcpServer) and
    // starts taking connections from it.
    bool start(const std::function<bool(QTcpServer *)> &openSocket);
    QTcpServer *tcpServer() const { return m_server; }
    // Clients that may still join before the descriptors run short, beyond those in clientCount.
    int descriptorBudget() const { return m_descriptorBudget; }
    // A client left: if accepting was paused, it goes on.
    void resume();

    void handleEvents(quint32 events) override;

    // How many clients the descriptor limit leaves room for, beyond those open now and a reserve
    // for saving the picture and for Qt's own needs.
    static int clientDescriptorBudget();
    // host:port, with an IPv6 host in brackets.
    static QString peerName(const QHostAddress &address, quint16 port);
    // What every client's socket gets before it is served.
    static void prepareSocket(int fd, int keepAliveSeconds);
    // Idle time before the kernel probes a silent peer; 0 turns keepalive off.
    static void setKeepAlive(int fd, int idleSeconds);

private:
    void stop(const QString &reason);

    static constexpr int ReservedDescriptors = 16;

    QTcpServer *m_server = nullptr;
    EventPoller *m_poller = nullptr;
    std::function<int()> m_clientCount;
    Accepted m_accepted;
    QElapsedTimer m_clock;
    int m_descriptorBudget = std::numeric_limits<int>::max();
    bool m_paused = false;
    qint64 m_lastErrorLogMs = -1;
};
