#include "server/localpicturestore.h"

#include "connection/protocol.h"

LocalPictureStore::LocalPictureStore(const Picture &picture, QObject *parent)
    : PictureStore(parent)
    , m_picture(picture)
{
}

quint64 LocalPictureStore::openConnection(const QHostAddress &address, quint16)
{
    noteAddress(++m_lastConnection, address);
    return m_lastConnection;
}

void LocalPictureStore::closeConnection(quint64 connection)
{
    forgetAddress(connection);
}

Picture::EditResult LocalPictureStore::submit(quint64 connection, quint8 kind,
                                              QByteArrayView message)
{
    if (const Picture::EditResult screened = screen(connection, kind, message);
        screened != Picture::Applied)
        return screened;
    const Picture::EditResult result = m_picture.apply(kind, message.sliced(Protocol::HeaderSize));
    if (result == Picture::Applied)
        Q_EMIT edited(connection, m_picture.relayed(kind, message, &m_widened));
    return result;
}
