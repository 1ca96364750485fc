#include "server/admission.h"

#include <QDateTime>

QHostAddress Admission::plainAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

bool Admission::isAllowed(const QHostAddress &address) const
{
    if (m_allowed.isEmpty())
        return true;
    const QHostAddress plain = plainAddress(address);
    for (const auto &subnet : m_allowed)
        if (plain.isInSubnet(subnet))
            return true;
    return false;
}

const Moderation::Ban *Admission::banOf(const QHostAddress &address, qint64 nowMs) const
{
    return m_moderation ? m_moderation->banFor(plainAddress(address), nowMs) : nullptr;
}

QString Admission::refusalFor(const QHostAddress &peerAddress) const
{
    const QHostAddress address = plainAddress(peerAddress);
    if (!isAllowed(address))
        return QStringLiteral("not in --allow");
    if (const Moderation::Ban *ban = banOf(address, QDateTime::currentMSecsSinceEpoch()))
        return QStringLiteral("banned (%1)").arg(ban->subnet.toString());
    if (m_count >= m_maxClients)
        return QStringLiteral("already serving %1 clients").arg(m_count);
    if (countFrom(address) >= m_maxPerAddress)
        return QStringLiteral("already %1 connections from %2 (--max-per-address)")
            .arg(m_maxPerAddress)
            .arg(address.toString());
    return QString();
}

std::vector<std::pair<std::size_t, QString>>
Admission::beyondLimits(const std::vector<QHostAddress> &inOrder) const
{
    std::vector<std::pair<std::size_t, QString>> beyond;
    int kept = 0;
    QHash<QHostAddress, int> keptFrom;
    for (std::size_t i = 0; i < inOrder.size(); ++i) {
        int &fromAddress = keptFrom[inOrder[i]];
        if (fromAddress >= m_maxPerAddress) {
            beyond.emplace_back(i,
                                QStringLiteral("beyond %1 connections from %2 (--max-per-address)")
                                    .arg(m_maxPerAddress)
                                    .arg(inOrder[i].toString()));
        } else if (kept >= m_maxClients) {
            beyond.emplace_back(
                i, QStringLiteral("beyond %1 clients (--max-clients)").arg(m_maxClients));
        } else {
            ++fromAddress;
            ++kept;
        }
    }
    return beyond;
}

void Admission::admitted(const QHostAddress &address)
{
    ++m_perAddress[address];
    ++m_count;
}

void Admission::released(const QHostAddress &address)
{
    const auto counted = m_perAddress.find(address);
    Q_ASSERT(counted != m_perAddress.end());
    if (--counted.value() == 0)
        m_perAddress.erase(counted);
    --m_count;
}
