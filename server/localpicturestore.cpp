#include "server/localpicturestore.h"

#include "connection/protocol.h"

LocalPictureStore::LocalPictureStore(const Picture &picture, QObject *parent)
    : PictureStore(parent)
    , m_picture(picture)
{
}

quint64 LocalPictureStore::openConnection(const QHostAddress &, quint16)
{
    return ++m_lastConnection;
}

void LocalPictureStore::closeConnection(quint64) {}

Picture::EditResult LocalPictureStore::submit(quint64 connection, quint8 kind,
                                              QByteArrayView message)
{
    const Picture::EditResult result = m_picture.apply(kind, message.sliced(Protocol::HeaderSize));
    if (result == Picture::Applied)
        Q_EMIT edited(connection, m_picture.relayed(kind, message, &m_widened));
    return result;
}
