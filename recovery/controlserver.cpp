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

ControlServer::ControlServer(PictureStore *store, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &ControlServer::acceptPeers);
}

ControlServer::~ControlServer() = default;

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
            answer(peer, ControlClient::encodeReply(ControlClient::refusal(
                             QStringLiteral("only the server's own user and root may "
                                            "change the picture"))));
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
            answer(peer, ControlClient::encodeReply(ControlClient::refusal(
                             QStringLiteral("a request larger than any change"))));
            return;
        }
        if (pending.size() > qsizetype(length) + 4) {
            answer(peer, ControlClient::encodeReply(
                             ControlClient::refusal(QStringLiteral("bytes after the request"))));
            return;
        }
        if (pending.size() == qsizetype(length) + 4) {
            const QByteArrayView request = QByteArrayView(pending).sliced(4);
            if (request == ControlClient::reloadRequest()) {
                ControlClient::Reply refusal;
                refusal.message = QStringLiteral("this server cannot read its configuration again");
                answer(peer, m_reload ? m_reload() : ControlClient::encodeReply(refusal));
            } else if (!request.isEmpty() && request.front() == ControlClient::ModerationTag) {
                answer(peer, ControlClient::encodeReply(handleModeration(request)));
            } else {
                answer(peer, ControlClient::encodeReply(handle(request)));
            }
            return;
        }
    }
    peer->setProperty(pendingProperty, pending);
}

QString ControlServer::actionLabel(const QString &label)
{
    // One line, as history prints it.
    const QString line = label.simplified().left(MaxLabelLength);
    return line.isEmpty() ? QStringLiteral("control") : line;
}

ControlClient::Reply ControlServer::handle(QByteArrayView bytes)
{
    ControlClient::Reply reply;
    const std::optional<ControlClient::Request> request = ControlClient::decodeRequest(bytes);
    if (!request) {
        reply.message = QStringLiteral("not a request this server understands");
        qCWarning(lcRecovery).noquote() << "refused a control request:" << reply.message;
        return reply;
    }
    const std::optional<PictureChange> change =
        PictureChange::decode(request->change, &reply.message);
    if (!change) {
        qCWarning(lcRecovery).noquote() << "refused a control request:" << reply.message;
        return reply;
    }
    return carryOut(*change, request->label, request->dryRun);
}

ControlClient::Reply ControlServer::carryOut(const PictureChange &change, const QString &label,
                                             bool dryRun)
{
    ControlClient::Reply reply;
    if (dryRun) {
        // Worked out against the picture as it stands, which nothing changes.
        reply.current = m_store->picture();
        reply.result = change.appliedTo(*reply.current);
        if (reply.result) {
            reply.ok = true;
            reply.outcome = PictureChange::difference(*reply.current, *reply.result);
        } else {
            reply.message = QStringLiteral("the picture is of another format than the change");
        }
        return reply;
    }
    // One connection per action, so that each can be told apart and undone alone.
    const quint64 connection = m_store->openActionConnection(actionLabel(label));
    reply.ok = change.carryOut(m_store, connection, &reply.outcome, &reply.message);
    m_store->closeConnection(connection);
    if (!reply.ok) {
        qCWarning(lcRecovery).noquote() << "refused a control request:" << reply.message;
        return reply;
    }
    // The command tells its user the change is made: it must be kept first, as if relayed.
    m_store->aboutToRelay();
    qCInfo(lcRecovery).noquote() << label << ":" << reply.outcome.cells << "cells and"
                                 << reply.outcome.colours << "frame colours";
    if (reply.outcome.cells || reply.outcome.colours)
        Q_EMIT changed();
    return reply;
}

ControlClient::Reply ControlServer::handleModeration(QByteArrayView bytes)
{
    const std::optional<ControlClient::ModerationRequest> request =
        ControlClient::decodeModerationRequest(bytes);
    if (request)
        return moderate(*request);
    ControlClient::Reply reply;
    reply.message = QStringLiteral("not a ban or lock this server understands");
    qCWarning(lcRecovery).noquote() << "refused a control request:" << reply.message;
    return reply;
}

ControlClient::Reply ControlServer::moderate(const ControlClient::ModerationRequest &request)
{
    ControlClient::Reply reply;
    if (m_store->changeModeration(request.change, &reply.message)) {
        reply.ok = true;
        qCInfo(lcRecovery).noquote() << "applied" << Moderation::encode(request.change);
        // The ban first, so that its windows are closed before their edits are undone.
        if (request.revert) {
            const quint64 connection = m_store->openActionConnection(actionLabel(request.label));
            reply.ok =
                request.revert->carryOut(m_store, connection, &reply.outcome, &reply.message);
            m_store->closeConnection(connection);
            // Kept before the command says it is done, as if relayed.
            if (reply.ok)
                m_store->aboutToRelay();
            if (reply.ok && (reply.outcome.cells || reply.outcome.colours))
                Q_EMIT changed();
        }
    }
    if (!reply.ok)
        qCWarning(lcRecovery).noquote() << "refused a control request:" << reply.message;
    return reply;
}
