#include "tests/support/serverclient.h"

#include "connection/protocol.h"
#include "tests/support/testsupport.h"

#include <QHostAddress>
#include <QTest>

namespace {

constexpr int WaitMs = 5000;

} // namespace

ServerClient::ServerClient(QObject *parent)
    : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &ServerClient::readAll);
}

bool ServerClient::connectTo(quint16 port, const QHostAddress &from)
{
    if (!from.isNull() && !m_socket.bind(from))
        return false;
    m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    if (!TestSupport::waitUntil([this] { return isConnected(); }, WaitMs))
        return false;
    // Small pieces go out at once instead of waiting for the acknowledgement of the last one.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

void ServerClient::send(QByteArrayView bytes)
{
    m_socket.write(bytes.data(), bytes.size());
    m_socket.flush();
}

std::optional<Picture> ServerClient::fetchPicture()
{
    send(Protocol::encodeHello());
    const auto message = waitForUpdate();
    if (!message)
        return std::nullopt;
    return toPicture(*message);
}

std::optional<QByteArray> ServerClient::waitForUpdate()
{
    if (!TestSupport::waitUntil([this] { return !m_updates.isEmpty(); }, WaitMs))
        return std::nullopt;
    return m_updates.takeFirst();
}

std::optional<QList<QByteArray>> ServerClient::waitForRelays(int count)
{
    if (!TestSupport::waitUntil([this, count] { return m_relays.size() >= count; }, WaitMs))
        return std::nullopt;
    QList<QByteArray> taken = m_relays.mid(0, count);
    m_relays.remove(0, count);
    return taken;
}

bool ServerClient::waitForDisconnected(int milliseconds)
{
    return TestSupport::waitUntil(
        [this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, milliseconds);
}

std::optional<Picture> ServerClient::toPicture(QByteArrayView message)
{
    if (message.size() < Protocol::HeaderSize)
        return std::nullopt;
    const auto update = Protocol::decodeUpdate(message.sliced(Protocol::HeaderSize));
    if (!update)
        return std::nullopt;
    Picture picture(update->formatNumber);
    picture.setFrameColors(update->border, update->background);
    picture.setCells(update->cells);
    return picture;
}

void ServerClient::readAll()
{
    // Cut by hand rather than through MessageReader, so that each message is kept byte for byte,
    // reserved header byte included.
    m_received += m_socket.readAll();
    qsizetype offset = 0;
    while (m_received.size() - offset >= Protocol::HeaderSize) {
        const qsizetype total =
            Protocol::HeaderSize + Protocol::decodeHeader(m_received.constData() + offset).length;
        if (m_received.size() - offset < total)
            break;
        (m_received.at(offset) == char(Protocol::Update) ? m_updates : m_relays)
            .append(m_received.mid(offset, total));
        offset += total;
    }
    m_received.remove(0, offset);
}
