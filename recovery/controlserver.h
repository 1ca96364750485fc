#pragma once

#include "recovery/controlclient.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class PictureStore;
class QLocalServer;
class QLocalSocket;

// The running server's end of the local control socket, through which the recovery commands
// have it carry out a revert or a restore. The change arrives whole, worked out by the command
// from the history; the server carries it out as ordinary edits through its store, under a
// connection of its own that the history names "control", so that the edits are journaled and
// relayed like anyone's and every window shows them at once.
//
// Only this server's own user and root may use the socket. It is created user-only (mode 0600
// from the start: Qt binds it in a private folder and moves it into place), and every peer's
// credentials are checked as well (SO_PEERCRED), so that a socket whose mode is loosened later
// still refuses everyone else.
//
// A request is one frame: a 4-byte little-endian length, then PictureChange::encode(), or a ban or
// lock (ControlClient::encodeRequest(), which starts with ControlClient::ModerationTag). The answer
// is one frame too (see ControlClient).
class ControlServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxRequestSize = 64 * 1024;

    // openControlConnection opens the store's connection of the server's own, recorded as
    // "control"; without it, a connection with a null address stands for it.
    explicit ControlServer(PictureStore *store,
                           std::function<quint64()> openControlConnection = nullptr,
                           QObject *parent = nullptr);
    ~ControlServer() override;

    // The socket beside a picture file.
    static QString socketPath(const QString &picturePath);

    // Listens at path, replacing whatever socket a server that stopped without removing it left
    // there (the caller holds the picture's lock, so no live server listens there).
    bool listen(const QString &path);
    QString errorString() const;

Q_SIGNALS:
    // A change was carried out; the picture changed.
    void changed();

private:
    void acceptPeers();
    void readPeer(QLocalSocket *peer);
    void answer(QLocalSocket *peer, const QByteArray &reply);
    // Sets or lifts a ban or a lock, and carries out the revert that comes with a ban.
    ControlClient::Reply moderate(QByteArrayView request);

    // The store may go first when both belong to the same server object.
    QPointer<PictureStore> m_store;
    std::function<quint64()> m_openControlConnection;
    QLocalServer *m_server = nullptr;
    // Opened at the first change, so that a server nobody repairs records no control connection.
    quint64 m_connection = 0;
    bool m_connectionOpen = false;
};
