#include "web/webviewer.h"

#include "connection/protocol.h"
#include "server/pictureserver.h"

#include <QWebSocket>

#include <linux/sockios.h>
#include <sys/ioctl.h>

WebViewer::WebViewer(std::unique_ptr<QWebSocket> socket, qintptr descriptor, PictureServer *server,
                     QObject *parent)
    : QObject(parent)
    , m_socket(std::move(socket))
    , m_descriptor(descriptor)
    , m_server(server)
{
    m_socket->setMaxAllowedIncomingFrameSize(MaxIncomingFrame);
    m_socket->setMaxAllowedIncomingMessageSize(MaxIncomingFrame);
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this, &WebViewer::binaryReceived);
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this, &WebViewer::textReceived);
    connect(m_socket.get(), &QWebSocket::disconnected, this, &WebViewer::socketGone);
}

WebViewer::~WebViewer()
{
    m_socket->disconnect(this);
    if (m_joined && m_server)
        m_server->removeClient(this);
}

bool WebViewer::start(QString *refusal)
{
    const QString name = QStringLiteral("web %1:%2")
                             .arg(m_socket->peerAddress().toString())
                             .arg(m_socket->peerPort());
    QString why;
    if (!m_server || !m_server->addClient(this, m_socket->peerAddress(), name, &why)) {
        if (refusal)
            *refusal = why;
        m_socket->close(QWebSocketProtocol::CloseCode(TurnedAwayCloseCode), why);
        return false;
    }
    m_joined = true;
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        socketGone();
    return m_joined;
}

bool WebViewer::write(const QByteArray &bytes)
{
    if (!m_joined || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    m_socket->sendBinaryMessage(bytes);
    // Into the kernel now, so that what stays queued is what the page has not taken yet.
    m_socket->flush();
    return m_joined && m_socket->state() == QAbstractSocket::ConnectedState;
}

qint64 WebViewer::queuedOutput() const
{
    qint64 queued = m_socket->bytesToWrite();
    int kernel = 0;
    if (m_descriptor >= 0 && ::ioctl(int(m_descriptor), SIOCOUTQ, &kernel) == 0)
        queued += kernel;
    return queued;
}

void WebViewer::close()
{
    // The server has let go of this viewer already.
    m_joined = false;
    if (m_closeCode != 0)
        m_socket->close(QWebSocketProtocol::CloseCode(m_closeCode), m_closeReason);
    else
        m_socket->abort();
    socketGone();
}

bool WebViewer::isOnlyHellos(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return false;
    constexpr qsizetype HelloSize = Protocol::HeaderSize + Protocol::HelloPayloadSize;
    for (qsizetype at = 0; at < bytes.size(); at += HelloSize) {
        if (bytes.size() - at < HelloSize)
            return false;
        const Protocol::MessageHeader header = Protocol::decodeHeader(bytes.constData() + at);
        if (header.kind != Protocol::Hello || header.length != Protocol::HelloPayloadSize)
            return false;
    }
    return true;
}

void WebViewer::binaryReceived(const QByteArray &bytes)
{
    if (!m_joined)
        return;
    if (!isOnlyHellos(bytes)) {
        refuse(QStringLiteral("sent a frame of %1 bytes that is not Hellos; viewers only watch")
                   .arg(bytes.size()));
        return;
    }
    if (m_server)
        m_server->receiveFrom(this, bytes);
}

void WebViewer::textReceived()
{
    if (m_joined)
        refuse(QStringLiteral("sent a text frame; viewers only watch"));
}

void WebViewer::refuse(const QString &reason)
{
    // The page is told why in the close frame; a slow reader (closed by the server) is not.
    m_closeCode = QWebSocketProtocol::CloseCodePolicyViolated;
    m_closeReason = reason;
    if (m_server)
        m_server->dropClient(this, "viewer_sent_other", reason);
    if (m_joined) {
        m_joined = false;
        m_socket->abort();
        socketGone();
    }
}

void WebViewer::socketGone()
{
    if (m_joined) {
        m_joined = false;
        if (m_server)
            m_server->removeClient(this);
    }
    if (!m_finished) {
        m_finished = true;
        Q_EMIT finished();
    }
}
