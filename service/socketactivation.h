#pragma once

#include <QString>

// A listening socket handed over by the service manager (socket activation, sd_listen_fds): the
// descriptors from 3 on that LISTEN_FDS counts, meant for this process when LISTEN_PID is its own
// pid. The server listens on a socket bound for it in place of one it binds itself, so that its
// port may be one an unprivileged process could not bind.
class SocketActivation
{
public:
    // Whether this build can take handed-over sockets at all.
    static bool isSupported();

    // Takes what was handed over, if anything, and clears LISTEN_PID, LISTEN_FDS and
    // LISTEN_FDNAMES so that nothing else takes it again. False, with errorString(), when what
    // was handed over cannot be served from: more than one socket, one that is not a listening
    // TCP socket, or any socket at all in a build without socket activation.
    bool take();
    // The listening socket handed over, or -1 if none was (or take() failed).
    int descriptor() const { return m_descriptor; }
    QString errorString() const { return m_errorString; }

private:
    int m_descriptor = -1;
    QString m_errorString;
};
