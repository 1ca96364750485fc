#include "tests/support/fakepictureserver.h"

#include "connection/messagereader.h"
#include "connection/protocol.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

FakePictureServer::FakePictureServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FakePictureServer::acceptClients);
}

FakePictureServer::~FakePictureServer()
{
    if (m_client)
        m_client->disconnect(this);
}

bool FakePictureServer::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 FakePictureServer::port() const
{
    return m_server->serverPort();
}

QString FakePictureServer::host()
{
    return QHostAddress(QHostAddress::LocalHost).toString();
}

bool FakePictureServer::hasClient() const
{
    return m_client && m_client->state() == QAbstractSocket::ConnectedState;
}

void FakePictureServer::acceptClients()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        if (m_client) {
            m_client->disconnect(this);
            m_client->abort();
            m_client->deleteLater();
        }
        m_client = client;
        ++m_connectionCount;
        connect(client, &QTcpSocket::readyRead, this, &FakePictureServer::readClient);
        connect(client, &QTcpSocket::disconnected, this, [this, client] {
            client->deleteLater();
            Q_EMIT clientDisconnected();
        });
        Q_EMIT clientConnected();
        // Bytes may have arrived before the server took the client off the queue.
        readClient();
    }
}

void FakePictureServer::readClient()
{
    if (!m_client || m_client->bytesAvailable() == 0)
        return;
    m_received.append(m_client->readAll());
    Q_EMIT bytesReceived();
}

QList<FakePictureServer::Message> FakePictureServer::receivedMessages() const
{
    QList<Message> messages;
    MessageReader reader;
    reader.append(m_received);
    MessageReader::Message message;
    while (reader.next(&message))
        messages.append({message.kind, message.payload.toByteArray()});
    return messages;
}

void FakePictureServer::sendUpdate(quint8 formatNumber, quint8 border, quint8 background,
                                   QByteArrayView cells)
{
    sendBytes(Protocol::encodeUpdate(formatNumber, border, background, cells));
}

void FakePictureServer::sendBytes(QByteArrayView bytes)
{
    if (!m_client)
        return;
    m_client->write(bytes.data(), bytes.size());
    m_client->flush();
}

void FakePictureServer::closeConnection()
{
    if (m_client)
        m_client->disconnectFromHost();
}
