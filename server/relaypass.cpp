#include "server/relaypass.h"

#include "server/connectedclient.h"
#include "server/picturestore.h"

#include <QMetaObject>

#include <algorithm>
#include <utility>

RelayPass::RelayPass(QObject *context, PictureStore *store, Sender *sender, quint64 *relayed,
                     quint64 *correctionBytes)
    : m_context(context)
    , m_store(store)
    , m_sender(sender)
    , m_relayed(relayed)
    , m_correctionBytes(correctionBytes)
{
}

void RelayPass::addHolder(ConnectedClient *client)
{
    client->holderIndex = m_holders.size();
    m_holders.push_back(client);
}

void RelayPass::removeHolder(ConnectedClient *client)
{
    // Order among the holders does not matter: each relay goes to all of them.
    Q_ASSERT(m_holders.at(client->holderIndex) == client);
    ConnectedClient *last = m_holders.back();
    m_holders[client->holderIndex] = last;
    last->holderIndex = client->holderIndex;
    m_holders.pop_back();
}

void RelayPass::queueCorrections(ConnectedClient *client)
{
    if (client->correcting)
        return;
    client->correcting = true;
    m_correcting.push_back(client);
    runSoon();
}

void RelayPass::dropCorrections(ConnectedClient *client)
{
    if (!client->correcting)
        return;
    client->correcting = false;
    m_correcting.erase(std::find(m_correcting.begin(), m_correcting.end(), client));
}

void RelayPass::queue(QByteArrayView relayed)
{
    m_relays += relayed;
    ++m_relayCount;
}

void RelayPass::runSoon()
{
    if (m_runQueued)
        return;
    m_runQueued = true;
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            m_runQueued = false;
            run();
        },
        Qt::QueuedConnection);
}

void RelayPass::run()
{
    // A peer found gone by a write is read after the pass: its last input may queue more
    // relays, which this loop, not a nested call, sends after these.
    if (m_running)
        return;
    m_running = true;
    while (!m_relays.isEmpty() || !m_correcting.empty()) {
        if (m_relays.isEmpty()) {
            sendCorrections();
            finishLeavers();
            continue;
        }
        m_store->aboutToRelay();
        const QByteArray relays = std::exchange(m_relays, QByteArray());
        const int count = std::exchange(m_relayCount, 0);
        // A copy: clients may leave during the pass, and those that leave are only marked gone
        // until the event loop deletes them.
        m_recipients = m_holders;
        for (ConnectedClient *client : m_recipients) {
            if (m_sender->send(client, relays))
                *m_relayed += quint64(count);
        }
        finishLeavers();
    }
    m_running = false;
}

void RelayPass::sendToAll(const QByteArray &update)
{
    m_relays.clear();
    m_relayCount = 0;
    // A pass like the relays' (a copy of the holders, peers found gone finished after it), which
    // may run inside one of those.
    const bool nested = std::exchange(m_running, true);
    const std::vector<ConnectedClient *> recipients = m_holders;
    for (ConnectedClient *client : recipients)
        m_sender->send(client, update);
    if (nested)
        return;
    finishLeavers();
    m_running = false;
    run();
}

void RelayPass::sendCorrections()
{
    const std::vector<ConnectedClient *> due = std::exchange(m_correcting, {});
    // Out of the list before any write: a write may remove any of them.
    for (ConnectedClient *client : due)
        client->correcting = false;
    for (ConnectedClient *client : due) {
        if (client->gone)
            continue;
        const QByteArray corrections = client->session->takeCorrections();
        if (!corrections.isEmpty() && m_sender->send(client, corrections))
            *m_correctionBytes += quint64(corrections.size());
        // What the credit did not cover waits for the client's next refused edits, which queue
        // it again.
    }
}

void RelayPass::finishLeavers()
{
    // Finishing one may find more gone: the list grows while it is walked.
    for (std::size_t i = 0; i < m_leftDuringPass.size(); ++i)
        m_sender->finishPeer(m_leftDuringPass[i]);
    m_leftDuringPass.clear();
}
