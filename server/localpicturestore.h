#pragma once

#include "server/picturestore.h"

// A picture held in this process alone: an edit takes effect inside submit(). Connections are
// numbered from 1 in the order they open.
class LocalPictureStore : public PictureStore
{
    Q_OBJECT

public:
    explicit LocalPictureStore(const Picture &picture, QObject *parent = nullptr);

    const Picture &picture() const override { return m_picture; }
    quint64 openConnection(const QHostAddress &address, quint16 port) override;
    void closeConnection(quint64 connection) override;
    Picture::EditResult submit(quint64 connection, quint8 kind, QByteArrayView message) override;

private:
    Picture m_picture;
    quint64 m_lastConnection = 0;
    QByteArray m_widened;
};
