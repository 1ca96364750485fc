#pragma once

#include "connection/protocol.h"

#include <QString>
#include <QtGlobal>

// The server the user connected to last, remembered between runs.
struct ConnectionPreferences
{
    QString host;
    quint16 port = 0;
};

namespace PreferenceKeys {
inline constexpr char Organization[] = "Norvask LLC";
inline constexpr char Application[] = "Celvane";
inline constexpr char Host[] = "network/preferred_host";
inline constexpr char Port[] = "network/preferred_port";
} // namespace PreferenceKeys

// The host offered until the user has chosen one: the address of the picture server on the
// network the program was first set up for.
extern const char DefaultPreferredHost[];
inline constexpr quint16 DefaultPreferredPort = Protocol::DefaultPort;

// The one record of the process. The first call loads it from the user's settings and arranges
// for it to be written back when the process exits; a run that never calls it leaves the
// settings untouched. The connect dialog also stores it whenever it is accepted.
ConnectionPreferences &connectionPreferences();

// Reads the two keys, falling back to the defaults for missing ones. A stored port that is not a
// number from 1 to 65535 loads as the default.
ConnectionPreferences loadConnectionPreferences();
// Writes the two keys: the host as a string, the port as an integer.
void saveConnectionPreferences(const ConnectionPreferences &preferences);
