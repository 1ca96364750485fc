#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A stand-in for the picture server, for tests. It listens on 127.0.0.1 on a port the system
// picks, serves one client at a time (a newer client replaces the older one), records every byte
// any client sends, and writes whatever the test asks for. It never answers on its own.
//
//     FakePictureServer server;
//     QVERIFY(server.listen());
//     window.connectToServer(FakePictureServer::host(), server.port());
//     QTRY_COMPARE(server.received(), Protocol::encodeHello());
//     server.sendUpdate(0, 0, 0, cells);
class FakePictureServer : public QObject
{
    Q_OBJECT

public:
    struct Message
    {
        quint8 kind = 0;
        QByteArray payload;
    };

    explicit FakePictureServer(QObject *parent = nullptr);
    ~FakePictureServer() override;

    // Starts listening on 127.0.0.1, on a port of the system's choosing.
    bool listen();
    quint16 port() const;
    // The loopback address as text, the form the client's connect takes.
    static QString host();

    // True from the moment the server has accepted a client until that client is gone.
    bool hasClient() const;
    // Clients accepted since the server started.
    int connectionCount() const { return m_connectionCount; }

    // Every byte received from every client since the start or the last clearReceived().
    QByteArray received() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    // received() cut into messages; an incomplete message at the end is left out.
    QList<Message> receivedMessages() const;

    // Writes an Update message for the format number with these cells (any number of them) to
    // the current client.
    void sendUpdate(quint8 formatNumber, quint8 border, quint8 background, QByteArrayView cells);
    // Writes raw bytes to the current client and pushes them onto the wire at once.
    void sendBytes(QByteArrayView bytes);
    // Closes the current client's connection from the server's side.
    void closeConnection();

Q_SIGNALS:
    void clientConnected();
    void bytesReceived();
    void clientDisconnected();

private:
    void acceptClients();
    void readClient();

    QTcpServer *m_server = nullptr;
    QPointer<QTcpSocket> m_client;
    QByteArray m_received;
    int m_connectionCount = 0;
};
