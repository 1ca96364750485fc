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

void PictureStore::noteAddress(quint64 connection, const QHostAddress &address, const QString &name)
{
    if (!address.isNull())
        m_senders.insert(connection, {address, name, {}, 0});
}

void PictureStore::forgetAddress(quint64 connection)
{
    m_senders.remove(connection);
}

void PictureStore::setModeration(const Moderation &moderation)
{
    if (moderation == m_moderation)
        return;
    m_moderation = moderation;
    ++m_generation;
    Q_EMIT moderationChanged();
}

Picture::EditResult PictureStore::screen(quint64 connection, quint8 kind, QByteArrayView message)
{
    if (m_moderation.isEmpty())
        return Picture::Applied;
    const auto found = m_senders.find(connection);
    if (found == m_senders.end())
        return Picture::Applied; // the server's own
    Sender &sender = found.value();
    if (sender.generation != m_generation) {
        sender.standing = m_moderation.standingOf(sender.address, sender.name);
        sender.generation = m_generation;
    }
    switch (m_moderation.judge(sender.standing, kind, message.sliced(Protocol::HeaderSize),
                               picture().format(),
                               [] { return QDateTime::currentMSecsSinceEpoch(); })) {
    case Moderation::Allowed:
        return Picture::Applied;
    case Moderation::Banned:
        return Picture::Banned;
    case Moderation::Locked:
        return Picture::Locked;
    case Moderation::ClearAround:
        break;
    }
    const QHostAddress address = sender.address;
    const QList<QByteArray> rows = m_moderation.clearAround(address, picture());
    if (!rows.isEmpty()) {
        const quint64 spared = openActionConnection(
            QStringLiteral("clear from %1 sparing locked cells").arg(address.toString()));
        for (const QByteArray &row : rows)
            submit(spared, quint8(row.at(0)), row);
        closeConnection(spared);
    }
    return Picture::Locked;
}
