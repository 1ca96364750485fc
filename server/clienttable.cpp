#include "server/clienttable.h"

#include "server/clientoutput.h"
#include "server/connectedclient.h"

#include <QMetaObject>

#include <unistd.h>

#include <algorithm>

ClientTable::ClientTable(QObject *context)
    : m_context(context)
{
}

ClientTable::~ClientTable()
{
    for (const auto &entry : m_clients) {
        if (entry.first->fd >= 0)
            ::close(entry.first->fd);
    }
}

ConnectedClient *ClientTable::insert(std::unique_ptr<ConnectedClient> client)
{
    ConnectedClient *raw = client.get();
    raw->serial = m_nextSerial++;
    m_clients.emplace(raw, std::move(client));
    return raw;
}

void ClientTable::addOutput(ConnectedClient *client)
{
    m_outputClients.emplace(client->outputKey, client);
}

ConnectedClient *ClientTable::byOutput(ClientOutput *output) const
{
    const auto found = m_outputClients.find(output);
    return found == m_outputClients.end() ? nullptr : found->second;
}

void ClientTable::retire(ConnectedClient *client)
{
    if (client->fd < 0)
        m_outputClients.erase(client->outputKey);
    auto found = m_clients.find(client);
    Q_ASSERT(found != m_clients.end());
    // Callers up the stack, the relay pass and the poller's turn still hold the client, and
    // check gone.
    m_departed.push_back(std::move(found->second));
    m_clients.erase(found);
    if (m_departed.size() == 1)
        QMetaObject::invokeMethod(
            m_context, [this] { deleteDeparted(); }, Qt::QueuedConnection);
}

std::vector<ConnectedClient *> ClientTable::clients() const
{
    std::vector<ConnectedClient *> all;
    all.reserve(m_clients.size());
    for (const auto &entry : m_clients)
        all.push_back(entry.first);
    return all;
}

std::vector<ConnectedClient *> ClientTable::inOrderOfArrival() const
{
    std::vector<ConnectedClient *> all = clients();
    std::sort(all.begin(), all.end(), [](const ConnectedClient *a, const ConnectedClient *b) {
        return a->serial < b->serial;
    });
    return all;
}

qint64 ClientTable::largestBufferedInput() const
{
    qint64 largest = 0;
    for (const auto &entry : m_clients)
        largest = qMax(largest, entry.first->session->reader().pendingBytes());
    return largest;
}

qint64 ClientTable::largestQueuedOutput() const
{
    qint64 largest = 0;
    for (const auto &entry : m_clients) {
        const ConnectedClient *client = entry.first;
        largest = qMax(largest, client->external ? client->external->queuedOutput()
                                                 : client->output.queued());
    }
    return largest;
}

void ClientTable::deleteDeparted()
{
    m_departed.clear();
}
