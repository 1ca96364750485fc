#pragma once

#include "server/picture.h"

#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>

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

Q_SIGNALS:
    // An edit took effect. relayed is the message as every client is sent it: a row shorter than
    // the grid is widened to the whole row as it now stands. Valid only during the call.
    void edited(quint64 connection, QByteArrayView relayed);
    // The picture was replaced as a whole: relays do not lead to it, a fresh Update does.
    void replaced();
    // isAvailable() changed. Once available again, picture() is current and edited() goes on
    // from it.
    void availabilityChanged(bool available);
};
