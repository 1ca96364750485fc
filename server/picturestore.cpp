#include "server/picturestore.h"

#include "connection/protocol.h"

#include <QDateTime>

bool PictureStore::changeModeration(const Moderation::Change &change, QString *problem)
{
    Moderation changed = m_moderation;
    if (!changed.apply(change, problem))
        return false;
    setModeration(changed);
    return true;
}

quint64 PictureStore::openLabelledConnection(const QString &)
{
    return openConnection(QHostAddress(), 0);
}

void PictureStore::noteAddress(quint64 connection, const QHostAddress &address)
{
    if (!address.isNull())
        m_addresses.insert(connection, address);
}

void PictureStore::forgetAddress(quint64 connection)
{
    m_addresses.remove(connection);
}

void PictureStore::setModeration(const Moderation &moderation)
{
    if (moderation == m_moderation)
        return;
    m_moderation = moderation;
    Q_EMIT moderationChanged();
}

Picture::EditResult PictureStore::screen(quint64 connection, quint8 kind, QByteArrayView message)
{
    if (m_moderation.isEmpty())
        return Picture::Applied;
    const QHostAddress sender = m_addresses.value(connection);
    switch (m_moderation.judge(sender, kind, message.sliced(Protocol::HeaderSize),
                               picture().format(), QDateTime::currentMSecsSinceEpoch())) {
    case Moderation::Allowed:
        return Picture::Applied;
    case Moderation::Banned:
        return Picture::Banned;
    case Moderation::Locked:
        return Picture::Locked;
    case Moderation::ClearAround:
        break;
    }
    const QList<QByteArray> rows = m_moderation.clearAround(sender, picture());
    if (!rows.isEmpty()) {
        const quint64 spared = openLabelledConnection(
            QStringLiteral("clear from %1 sparing locked cells").arg(sender.toString()));
        for (const QByteArray &row : rows)
            submit(spared, quint8(row.at(0)), row);
        closeConnection(spared);
    }
    return Picture::Locked;
}
