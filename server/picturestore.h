#pragma once

#include "server/moderation.h"
#include "server/picture.h"

#include <QByteArrayView>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

// Where the served picture lives, and the one order in which edits take effect. The server's
// sockets talk only to this: whether the picture is kept in a file with a journal beside it or
// in a store shared by several servers is the implementation's business.
//
// An edit is submitted once a client's message has been cut out of its stream. It is checked
// against the picture at once, and what the picture could never take is refused there and
// changes nothing. An edit that is accepted takes its place in the one order and is announced by
// edited(): from inside submit() for a picture held here, later for one held elsewhere. Clients
// are told of edits only through edited(), so every window sees them in the store's order.
class PictureStore : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The picture with every edit announced so far applied.
    virtual const Picture &picture() const = 0;

    // A client that may edit has connected; its edits are recorded under the number returned.
    virtual quint64 openConnection(const QHostAddress &address, quint16 port) = 0;
    // The same for a client that said who it is (a web page opened with an editor's key): its
    // edits are recorded under the name too, where the store keeps a history.
    // A store without a history records nothing more, but still judges the connection's edits
    // by its name too (a ban of an author).
    virtual quint64 openNamedConnection(const QHostAddress &address, quint16 port,
                                        const QString &name)
    {
        const quint64 id = openConnection(address, port);
        noteAddress(id, address, name);
        return id;
    }
    virtual void closeConnection(quint64 connection) = 0;
    // A connection of the server's own for one action nobody's window sent (a revert, a
    // restore), recorded under its label where the store keeps a history, so that the action
    // is listed, and can be undone, apart from every other. Closed like any other.
    virtual quint64 openActionConnection(const QString &label)
    {
        Q_UNUSED(label);
        return openConnection(QHostAddress(), 0);
    }

    // message is the whole message as it arrived, header included. Returns Applied for an edit
    // that was accepted into the order (even if edited() comes later), or why it was refused.
    virtual Picture::EditResult submit(quint64 connection, quint8 kind, QByteArrayView message) = 0;

    // Whether clients can be served: a picture held elsewhere may be out of reach for a while,
    // and a window must not go on showing it as if it were current meanwhile.
    virtual bool isAvailable() const { return true; }

    // Called by the server just before it sends clients the edits announced since the last
    // call: what a client is shown must already be kept where a crash of this process cannot
    // take it. A store that keeps edits elsewhere before announcing them has nothing to do.
    virtual void aboutToRelay() {}

    // The bans and locks in force, kept with the picture.
    const Moderation &moderation() const { return m_moderation; }
    // Sets or lifts a ban or a lock and keeps it with the picture; false, with one line in
    // *problem, for lifting what is not there or when it cannot be kept. A store held in this
    // process alone keeps it until it stops.
    virtual bool changeModeration(const Moderation::Change &change, QString *problem);

Q_SIGNALS:
    // An edit took effect. relayed is the message as every client is sent it: a row shorter than
    // the grid is widened to the whole row as it now stands. Valid only during the call.
    void edited(quint64 connection, QByteArrayView relayed);
    // The picture was replaced as a whole: relays do not lead to it, a fresh Update does.
    void replaced();
    // isAvailable() changed. Once available again, picture() is current and edited() goes on
    // from it.
    void availabilityChanged(bool available);
    // The bans or locks changed; every client a ban now holds is to be closed.
    void moderationChanged();

protected:
    // Each store tells the address (and the editor's name, for a named one) of every connection
    // that may edit, for judging its edits.
    void noteAddress(quint64 connection, const QHostAddress &address,
                     const QString &name = QString());
    void forgetAddress(quint64 connection);
    // Replaces the bans and locks, saying so if they changed.
    void setModeration(const Moderation &moderation);
    // What the bans and locks make of an edit before the store takes it: Applied to go on, or
    // why it is refused. A Clear around a lock is carried out here, as the rows it changes,
    // under a connection of its own, and refused as sent (Locked), so that its sender's window
    // is corrected; the other windows see the rows. Costs nothing while nothing is set.
    Picture::EditResult screen(quint64 connection, quint8 kind, QByteArrayView message);

private:
    struct Sender
    {
        QHostAddress address;
        QString name;
        Moderation::Standing standing;
        quint64 generation = 0; // of the bans and locks standing was worked out for
    };

    Moderation m_moderation;
    quint64 m_generation = 1;
    QHash<quint64, Sender> m_senders;
};
