#pragma once

#include "options/option.h"

#include <QHostAddress>

// Where the web side listens, as --http gives it: the address is null when only a port was
// given, and then follows the server's own.
struct WebEndpoint
{
    QHostAddress address;
    quint16 port = 0;

    bool operator==(const WebEndpoint &other) const
    {
        return address == other.address && port == other.port;
    }
};

// The options of the web side: its page, its picture and its counters.
OptionTable webOptionTable();
