#pragma once

#include "recovery/controlclient.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <utility>

class PictureStore;
class QLocalServer;
class QLocalSocket;

// The running server's end of the local control socket, through which the recovery commands
// have it carry out a revert or a restore, or say what one would do. The change arrives whole,
// worked out by the command from the history; the server carries it out as ordinary edits
// through its store, under a connection of its own for this one action, recorded with the
// request's label (PictureStore::openActionConnection), so that the edits are journaled and
// relayed like anyone's, every window shows them at once, and the action can be undone alone.
// A dry run changes nothing and answers with the picture as it stands and as it would be.
//
// Only this server's own user and root may use the socket. It is created user-only (mode 0600
// from the start: Qt binds it in a private folder and moves it into place), and every peer's
// credentials are checked as well (SO_PEERCRED), so that a socket whose mode is loosened later
// still refuses everyone else.
//
// A request is one frame: a 4-byte little-endian length, then ControlClient::encodeRequest() of a
// Request or of a ban or lock (a ModerationRequest, which starts with
// ControlClient::ModerationTag), or ControlClient::reloadRequest() to have the server read its
// configuration file again. The answer is one frame too (see ControlClient).
class ControlServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxRequestSize = 64 * 1024;
    // Labels are cut to this many characters, and to one line.
    static constexpr int MaxLabelLength = 200;

    explicit ControlServer(PictureStore *store, QObject *parent = nullptr);
    ~ControlServer() override;

    // The socket beside a picture file.
    static QString socketPath(const QString &picturePath);

    // Listens at path, replacing whatever socket a server that stopped without removing it left
    // there (the caller holds the picture's lock, so no live server listens there).
    bool listen(const QString &path);
    // What a reload request does; without it, such a request is refused.
    void setReloadHandler(std::function<QByteArray()> reload) { m_reload = std::move(reload); }
    QString errorString() const;

    // What a request through the socket does, for callers in this process (the web side's
    // moderation API), with the same checks, the same connection per action and the same log
    // lines: carries the change out, or for a dry run weighs it against the picture as it stands.
    ControlClient::Reply carryOut(const PictureChange &change, const QString &label, bool dryRun);
    // Sets or lifts a ban or a lock, and carries out the revert that comes with a ban.
    ControlClient::Reply moderate(const ControlClient::ModerationRequest &request);

Q_SIGNALS:
    // A change was carried out; the picture changed.
    void changed();

private:
    void acceptPeers();
    void readPeer(QLocalSocket *peer);
    void answer(QLocalSocket *peer, const QByteArray &reply);
    ControlClient::Reply handle(QByteArrayView request);
    ControlClient::Reply handleModeration(QByteArrayView request);
    // The label an action's connection is recorded under.
    static QString actionLabel(const QString &label);

    // The store may go first when both belong to the same server object.
    QPointer<PictureStore> m_store;
    std::function<QByteArray()> m_reload;
    QLocalServer *m_server = nullptr;
};
