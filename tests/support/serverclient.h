#pragma once

#include "server/picture.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpSocket>

#include <optional>

// A scripted client of the picture server for tests: it writes whatever bytes the test gives it
// and collects the Updates that come back. The waits spin the event loop, so a server in the same
// process keeps running meanwhile.
class ServerClient : public QObject
{
    Q_OBJECT

public:
    explicit ServerClient(QObject *parent = nullptr);

    // Connects to 127.0.0.1, from a loopback address of its own if one is given (to play a
    // client of another address); false if that took more than five seconds.
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress());
    // Writes the bytes and hands them to the kernel at once.
    void send(QByteArrayView bytes);
    // Sends Hello and waits for the Update that answers it, decoded into a picture. Because the
    // server reads one connection in order, the picture shows every edit sent before.
    std::optional<Picture> fetchPicture();
    // Waits for the next whole Update; nullopt if none came within five seconds. Other messages
    // (the server's relays) are kept apart, so that this sees what a client that reads only the
    // Updates would see.
    std::optional<QByteArray> waitForUpdate();
    // Waits until count messages of other kinds than Update have arrived in all and takes them,
    // byte for byte; nullopt if they did not come within five seconds.
    std::optional<QList<QByteArray>> waitForRelays(int count);
    // Whole messages received and not yet taken, of other kinds than Update and of Update.
    int relaysReceived() const { return int(m_relays.size()); }
    int updatesReceived() const { return int(m_updates.size()); }
    // Bytes received and not yet taken by waitForUpdate().
    qsizetype pendingBytes() const { return m_received.size(); }
    bool waitForDisconnected(int milliseconds = 5000);
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void disconnectNow() { m_socket.abort(); }
    QTcpSocket &socket() { return m_socket; }

    // Decodes a whole Update message (header included) into a picture.
    static std::optional<Picture> toPicture(QByteArrayView message);

private:
    void readAll();

    QTcpSocket m_socket;
    QByteArray m_received;
    QList<QByteArray> m_updates;
    QList<QByteArray> m_relays;
};
