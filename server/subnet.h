#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

// An address or a block of addresses, as moderators write them: "127.0.0.9", "10.1.0.0/16",
// "2001:db8::/32". An IPv4 address a dual-stack socket reports as ::ffff:a.b.c.d counts as
// a.b.c.d, both when written and when matched, so that a ban on 127.0.0.9 also holds a window
// that came in over IPv6.
class Subnet
{
public:
    Subnet() = default;

    // Nothing, with one line in *error, for text that is not ADDRESS or ADDRESS/PREFIX (a prefix
    // of 0 to 32 for IPv4, 0 to 128 for IPv6). Bits beyond the prefix are cleared.
    static std::optional<Subnet> parse(const QString &text, QString *error);

    bool contains(const QHostAddress &address) const;
    // The address alone for a single one, ADDRESS/PREFIX otherwise; parse() reads it back.
    QString toString() const;
    bool isNull() const { return m_address.isNull(); }

    friend bool operator==(const Subnet &a, const Subnet &b)
    {
        return a.m_prefix == b.m_prefix && a.m_address == b.m_address;
    }
    friend bool operator!=(const Subnet &a, const Subnet &b) { return !(a == b); }

private:
    QHostAddress m_address;
    int m_prefix = 0;
};
