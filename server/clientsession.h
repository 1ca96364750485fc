#pragma once

#include "connection/messagereader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

class PictureStore;

// One client's side of the conversation, without its socket: the bytes it sent are cut into
// messages, Hellos are answered (at most one Update per interval, the rest answered together
// later), edits go to the picture's store, and what cannot be applied is refused, logged within
// bounds and counted towards closing the client. The server's socket loop and the fuzzer both drive
// this class, so they cannot disagree.
//
// Sending may end the connection from inside the call (a reset socket fails its write and closes
// at once): the sender returns false then, the session stops where it is and ended() is true.
// The session must then not be fed again, but it stays valid until its owner deletes it, which
// the server does only from the event loop.
class ClientSession
{
public:
    struct Limits
    {
        qint64 updateIntervalMs = 1000; // at most one Update per client in this time
        int extraHellos = 32;           // Hellos more than this within one interval: closed
        int loggedRefusals = 5;         // refused messages logged one by one, then summarised
        int maxRefused = 100;           // more than this: closed
        bool readOnly = false;          // every edit is refused
        quint8 updateFlags = 0;         // byte 3 of every Update sent
    };

    // Returns false when the client is gone, possibly because of this very call.
    using Sender = std::function<bool(const QByteArray &bytes)>;
    // Edits are submitted to store under connection, the number it gave this client.
    ClientSession(PictureStore *store, quint64 connection, const Limits *limits,
                  const QString &name, Sender sender);

    // Takes bytes as they arrive and handles every message they complete. Returns false once the
    // session has ended: the client is gone or must be closed (see closeReason()).
    bool receive(QByteArrayView bytes, qint64 nowMs);

    // How many more edits receive() may take; it stops before the next message at 0 and leaves
    // the rest where it is, for a later receive() (with no new bytes, if need be). -1: no bound.
    void setAllowance(qint64 messages) { m_allowance = messages; }
    qint64 allowance() const { return m_allowance; }

    // Sends the Update that Hellos within the last interval are owed, if it is due.
    bool sendOwedUpdate(qint64 nowMs);

    // Marks the client gone: nothing is sent or handled from now on.
    void end() { m_ended = true; }
    bool ended() const { return m_ended; }
    // Why the session wants its client closed; empty if it does not.
    const QString &closeReason() const { return m_closeReason; }

    const QString &name() const { return m_name; }
    quint64 connection() const { return m_connection; }
    bool helloReceived() const { return m_hellos > 0; }
    bool owesUpdate() const { return m_owesUpdate; }
    qint64 updateDueMs() const { return m_lastUpdateMs + m_limits->updateIntervalMs; }
    // When the message now waiting for its remaining bytes began to arrive, or -1.
    qint64 partialSinceMs() const { return m_partialSinceMs; }
    const MessageReader &reader() const { return m_reader; }

    quint64 messages() const { return m_messages; }
    // Edits the store accepted.
    quint64 applied() const { return m_applied; }
    quint64 refused() const { return m_refused; }
    // Set by every accepted edit; cleared by taking it.
    bool takeChanged();

private:
    bool answerHello(qint64 nowMs);
    bool sendUpdate(qint64 nowMs);
    void refuse(quint8 kind, qsizetype length, const char *reason);

    PictureStore *m_store = nullptr;
    quint64 m_connection = 0;
    const Limits *m_limits = nullptr;
    QString m_name;
    Sender m_sender;
    MessageReader m_reader;
    QString m_closeReason;
    bool m_ended = false;
    bool m_inside = false;
    bool m_changed = false;
    bool m_owesUpdate = false;
    qint64 m_lastUpdateMs = 0;
    bool m_updated = false;
    int m_earlyHellos = 0;
    qint64 m_partialSinceMs = -1;
    quint64 m_hellos = 0;
    quint64 m_messages = 0;
    quint64 m_applied = 0;
    quint64 m_refused = 0;
    qint64 m_allowance = -1;
};
