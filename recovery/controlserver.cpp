#include "recovery/controlserver.h"

#include "recovery/controlclient.h"
#include "recovery/picturechange.h"
#include "recovery/recoverylogging.h"
#include "server/picturestore.h"

#include <QHostAddress>
#include <QLocalServer>
#include <QLocalSocket>
#include <QVariant>
#include <QtEndian>

#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// The bytes of a request gathered so far, kept on the socket itself so that they go with it.
const char pendingProperty[] = "celvaneControlPending";

bool isAllowedPeer(QLocalSocket *peer, uid_t *uid)
{
    struct ucred credentials = {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &length) != 0)
        return false;
    *uid = credentials.uid;
    return credentials.uid == 0 || credentials.uid == ::geteuid();
}

} // namespace

Q_LOGGING_CATEGORY(lcRecovery, "celvane.recovery", QtWarningMsg)

ControlServer::ControlServer(PictureStore *store, std::function<quint64()> openControlConnection,
                             QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_openControlConnection(std::move(openControlConnection))
    , m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &ControlServer::acceptPeers);
}

ControlServer::~ControlServer()
{
    if (m_connectionOpen && m_store)
        m_store->closeConnection(m_connection);
}

QString ControlServer::socketPath(const QString &picturePath)
{
    return picturePath + QStringLiteral(".control");
}

bool ControlServer::listen(const QString &path)
{
    QLocalServer::removeServer(path);
    return m_server->listen(path);
}

QString ControlServer::errorString() const
{
    return m_server->errorString();
}

void ControlServer::acceptPeers()
{
    while (QLocalSocket *peer = m_server->nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        uid_t uid = 0;
        if (!isAllowedPeer(peer, &uid)) {
            qCWarning(lcRecovery) << "refused a control connection from uid" << uid;
            answer(peer, ControlClient::encodeReply(
                             {false,
                              {},
                              QStringLiteral("only the server's own user and root may "
                                             "change the picture")}));
            continue;
        }
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] { readPeer(peer); });
        readPeer(peer);
    }
}

void ControlServer::answer(QLocalSocket *peer, const QByteArray &reply)
{
    peer->setProperty(pendingProperty, QVariant());
    disconnect(peer, &QLocalSocket::readyRead, this, nullptr);
    peer->write(ControlClient::frame(reply));
    // Closes once the answer is out; the peer reads it from its end and sees the close after it.
    peer->disconnectFromServer();
}

void ControlServer::readPeer(QLocalSocket *peer)
{
    QByteArray pending = peer->property(pendingProperty).toByteArray() + peer->readAll();
    if (pending.size() >= 4) {
        const quint32 length = qFromLittleEndian<quint32>(pending.constData());
        if (length > quint32(MaxRequestSize)) {
            answer(peer, ControlClient::encodeReply(
                             {false, {}, QStringLiteral("a request larger than any change")}));
            return;
        }
        if (pending.size() > qsizetype(length) + 4) {
            answer(peer, ControlClient::encodeReply(
                             {false, {}, QStringLiteral("bytes after the request")}));
            return;
        }
        if (pending.size() == qsizetype(length) + 4) {
            const QByteArrayView request = QByteArrayView(pending).sliced(4);
            if (!request.isEmpty() && request.front() == ControlClient::ModerationTag)
                return answer(peer, ControlClient::encodeReply(moderate(request)));
            QString problem;
            const std::optional<PictureChange> change =
                PictureChange::decode(QByteArrayView(pending).sliced(4), &problem);
            ControlClient::Reply reply;
            if (change) {
                if (!m_connectionOpen) {
                    m_connection = m_openControlConnection
                                       ? m_openControlConnection()
                                       : m_store->openConnection(QHostAddress(), 0);
                    m_connectionOpen = true;
                }
                reply.ok = change->carryOut(m_store, m_connection, &reply.outcome, &problem);
            }
            reply.message = problem;
            if (reply.ok) {
                qCInfo(lcRecovery).noquote()
                    << (change->isConditional() ? "reverted" : "restored") << reply.outcome.cells
                    << "cells and" << reply.outcome.colours << "frame colours";
                if (reply.outcome.cells || reply.outcome.colours)
                    Q_EMIT changed();
            } else {
                qCWarning(lcRecovery).noquote() << "refused a control request:" << problem;
            }
            answer(peer, ControlClient::encodeReply(reply));
            return;
        }
    }
    peer->setProperty(pendingProperty, pending);
}

ControlClient::Reply ControlServer::moderate(QByteArrayView bytes)
{
    ControlClient::Reply reply;
    const std::optional<ControlClient::ModerationRequest> request =
        ControlClient::decodeRequest(bytes);
    if (!request) {
        reply.message = QStringLiteral("not a ban or lock this server understands");
    } else if (m_store->changeModeration(request->change, &reply.message)) {
        reply.ok = true;
        qCInfo(lcRecovery).noquote() << "applied" << Moderation::encode(request->change);
        // The ban first, so that its windows are closed before their edits are undone.
        if (request->revert) {
            const quint64 connection = m_store->openLabelledConnection(request->label);
            reply.ok =
                request->revert->carryOut(m_store, connection, &reply.outcome, &reply.message);
            m_store->closeConnection(connection);
            if (reply.ok && (reply.outcome.cells || reply.outcome.colours))
                Q_EMIT changed();
        }
    }
    if (!reply.ok)
        qCWarning(lcRecovery).noquote() << "refused a control request:" << reply.message;
    return reply;
}
