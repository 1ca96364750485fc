#pragma once

#include "connection/messagereader.h"
#include "server/correctionqueue.h"
#include "server/editcooldown.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

class PictureStore;

// One client's side of the conversation, without its socket: the bytes it sent are cut into
// messages, Hellos are answered (at most one Update per interval, the rest answered together
// later), edits go to the picture's store, and what cannot be applied is refused, logged within
// bounds and counted towards closing the client. The server's socket loop and the fuzzer both drive
// this class, so they cannot disagree.
//
// Every refusal of an edit the picture could have taken (read-only, a cooldown, whatever the store
// refuses it for) is decided in refuseEdit(): such a refusal is the server's rule, not the client's
// fault, so it does not count towards closing it, and a client that was told of live relays
// already shows the edit, so the session queues its correction (see CorrectionQueue), which the
// server sends after the relays of the edits applied before it.
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
        // Each address may change one cell per this time, and nothing else; 0: no bound. Read
        // at every edit, so a change applies from the next one.
        qint64 cooldownMs = 0;
        quint8 updateFlags = 0; // byte 3 of every Update sent
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

    // The edits of this session wait, with those of every other under key (its address's text,
    // or its editor's name), in cooldown's table; without it, a session waits alone.
    void shareCooldown(EditCooldown *cooldown, const QString &key);
    // A client that was let edit after it joined has its edits recorded under this number.
    void setConnection(quint64 connection) { m_connection = connection; }

    // Corrections of refused edits are waiting to be taken.
    bool hasCorrections() const { return m_corrections && !m_corrections->isEmpty(); }
    // The relays that put the client's window right, with the picture's values as they stand
    // now, as far as the refused edits have paid for them (see CorrectionQueue).
    QByteArray takeCorrections();

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
    // Of those, the edits the picture could have taken, refused by the server's rules.
    quint64 disallowed() const { return m_disallowed; }
    // Set by every accepted edit; cleared by taking it.
    bool takeChanged();

private:
    bool answerHello(qint64 nowMs);
    bool sendUpdate(qint64 nowMs);
    // Why the server's own rules (read-only, the cooldown) refuse an edit, or null.
    const char *ruleAgainst(const MessageReader::Message &message, qint64 nowMs) const;
    void refuseEdit(const MessageReader::Message &message, const char *reason);
    // counted: towards closing the client.
    void refuse(quint8 kind, qsizetype length, const char *reason, bool counted);

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
    quint64 m_disallowed = 0;
    qint64 m_allowance = -1;
    // Whether the last Update announced live relays: only then does the client draw its edits
    // before the server has them, and only then is it corrected.
    bool m_relaysAnnounced = false;
    std::optional<CorrectionQueue> m_corrections;
    EditCooldown *m_cooldown = nullptr;
    EditCooldown m_ownCooldown;
    QString m_cooldownKey;
};
