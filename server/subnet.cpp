#include "server/subnet.h"

namespace {

QHostAddress plain(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

} // namespace

std::optional<Subnet> Subnet::parse(const QString &text, QString *error)
{
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    const QHostAddress address = plain(QHostAddress(text.left(slash).trimmed()));
    const auto refuse = [&] {
        *error = QStringLiteral("\"%1\" is not an address or ADDRESS/PREFIX (such as 127.0.0.9, "
                                "10.1.0.0/16 or 2001:db8::/32)")
                     .arg(text);
        return std::nullopt;
    };
    if (address.isNull() || !address.scopeId().isEmpty())
        return refuse();
    const int widest = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    int prefix = widest;
    if (slash >= 0) {
        const QString digits = text.mid(slash + 1);
        bool ok = false;
        prefix = digits.toInt(&ok);
        // toInt() takes "+8" and " 8"; a prefix is digits alone.
        if (!ok || digits.isEmpty() || !digits.front().isDigit() || prefix < 0 || prefix > widest)
            return refuse();
    }
    Subnet subnet;
    subnet.m_prefix = prefix;
    // The network address itself, so that two ways of writing one block compare equal.
    subnet.m_address =
        QHostAddress::parseSubnet(QStringLiteral("%1/%2").arg(address.toString()).arg(prefix))
            .first;
    if (subnet.m_address.isNull())
        return refuse();
    return subnet;
}

bool Subnet::contains(const QHostAddress &address) const
{
    return !m_address.isNull() && plain(address).isInSubnet(m_address, m_prefix);
}

QString Subnet::toString() const
{
    const int widest = m_address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    return m_prefix == widest ? m_address.toString()
                              : QStringLiteral("%1/%2").arg(m_address.toString()).arg(m_prefix);
}
