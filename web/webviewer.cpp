#include "web/webviewer.h"

#include "connection/protocol.h"
#include "server/pictureserver.h"
#include "web/webaccess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace {

void setMaxFrame(QWebSocket *socket, qint64 bytes)
{
    socket->setMaxAllowedIncomingFrameSize(quint64(bytes));
    socket->setMaxAllowedIncomingMessageSize(quint64(bytes));
}

} // namespace

WebViewer::WebViewer(std::unique_ptr<QWebSocket> socket, qintptr descriptor, PictureServer *server,
                     const WebAccess *access, QObject *parent)
    : QObject(parent)
    , m_socket(std::move(socket))
    , m_descriptor(descriptor)
    , m_server(server)
    , m_access(access)
{
    setMaxFrame(m_socket.get(), MaxFirstFrame);
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
    if (m_role == Role::Undecided) {
        // A page that says nothing of itself edits only where every page may.
        if (m_access && m_access->editForAll()) {
            if (!startEditing(QString()))
                return;
        } else {
            m_role = Role::Watcher;
            setMaxFrame(m_socket.get(), MaxIncomingFrame);
        }
    }
    if (m_role == Role::Watcher && !isOnlyHellos(bytes)) {
        refuse(QStringLiteral("sent a frame of %1 bytes that is not Hellos; this page only "
                              "watches")
                   .arg(bytes.size()));
        return;
    }
    if (m_server)
        m_server->receiveFrom(this, bytes);
}

void WebViewer::textReceived(const QString &text)
{
    if (!m_joined)
        return;
    if (m_role != Role::Undecided) {
        refuse(QStringLiteral("sent a text frame after its first"));
        return;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    const QJsonObject request = document.object();
    const bool wellFormed = error.error == QJsonParseError::NoError && document.isObject() &&
                            (request.isEmpty() || (request.size() == 1 &&
                                                   request.value(QLatin1String("key")).isString()));
    if (!wellFormed) {
        refuse(QStringLiteral("sent a first text frame that is not {} or {\"key\":KEY}"));
        return;
    }
    std::optional<WebEditor> editor;
    if (request.contains(QLatin1String("key"))) {
        // Never logged: the page is told, the log says only that a key was refused.
        m_key = request.value(QLatin1String("key")).toString().toUtf8();
        editor = m_access ? m_access->editorFor(m_key) : std::nullopt;
        if (!editor) {
            refuse(QStringLiteral("key not accepted"), KeyCloseCode, "key_not_accepted");
            return;
        }
    }
    const bool edit = editor || (m_access && m_access->editForAll());
    if (edit) {
        if (!startEditing(editor ? editor->name : QString()))
            return;
    } else {
        m_role = Role::Watcher;
        setMaxFrame(m_socket.get(), MaxIncomingFrame);
    }
    QJsonObject answer{{QLatin1String("edit"), edit},
                       {QLatin1String("name"), editor ? QJsonValue(editor->name) : QJsonValue()},
                       {QLatin1String("moderator"), editor && editor->moderator}};
    m_socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)));
}

bool WebViewer::startEditing(const QString &editor)
{
    QString why;
    if (!m_server || !m_server->grantEditing(this, m_socket->peerPort(), editor, &why)) {
        refuse(why.isEmpty() ? QStringLiteral("cannot edit") : why, KeyCloseCode,
               "key_not_accepted");
        return false;
    }
    m_role = Role::Editor;
    m_editor = editor;
    setMaxFrame(m_socket.get(), MaxEditorFrame);
    return true;
}

void WebViewer::checkAccess()
{
    if (m_role != Role::Editor || !m_joined || !m_access)
        return;
    const std::optional<WebEditor> editor =
        m_key.isEmpty() ? std::nullopt : m_access->editorFor(m_key);
    if (m_key.isEmpty() ? !m_access->editForAll() : !editor || editor->name != m_editor)
        refuse(QStringLiteral("may no longer edit"), KeyCloseCode, "key_not_accepted");
}

void WebViewer::refuse(const QString &reason, int code, const char *label)
{
    // The page is told why in the close frame; a slow reader (closed by the server) is not.
    m_closeCode = code;
    m_closeReason = reason;
    if (m_server)
        m_server->dropClient(this, label, reason);
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
