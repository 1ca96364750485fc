#pragma once

#include <QtGlobal>

#include <memory>
#include <unordered_map>
#include <vector>

class ClientOutput;
class QObject;
struct ConnectedClient;

// Every client the server serves, owned here, and the clients of other transports by their
// output.
//
// A client is never freed while the server's own call stack may still use it: a write can find
// the peer gone in the middle of a pass over every client, so a client that leaves is taken out
// of the table at once but kept alive, marked gone, until the event loop deletes it.
class ClientTable
{
public:
    // Deletions are queued on context.
    explicit ClientTable(QObject *context);
    // Closes the sockets of the clients still in the table.
    ~ClientTable();

    // Takes the client and numbers it after every client inserted before.
    ConnectedClient *insert(std::unique_ptr<ConnectedClient> client);
    // Files a client of another transport under its output (client->outputKey).
    void addOutput(ConnectedClient *client);
    // The client of another transport whose output this is, or null.
    ConnectedClient *byOutput(ClientOutput *output) const;
    // Out of the table now, deleted from the event loop.
    void retire(ConnectedClient *client);

    std::size_t size() const { return m_clients.size(); }
    // Every client in the table, in no particular order.
    std::vector<ConnectedClient *> clients() const;
    // Every client in the table, the earliest admitted first.
    std::vector<ConnectedClient *> inOrderOfArrival() const;

    // The most unread input any one client holds at the moment.
    qint64 largestBufferedInput() const;
    // The most output any one client has waiting in the server for room in the kernel.
    qint64 largestQueuedOutput() const;

    template <typename Function> void forEach(Function &&function) const
    {
        for (const auto &entry : m_clients)
            function(entry.first);
    }

private:
    void deleteDeparted();

    QObject *m_context = nullptr;
    quint64 m_nextSerial = 1;
    std::unordered_map<ConnectedClient *, std::unique_ptr<ConnectedClient>> m_clients;
    std::unordered_map<ClientOutput *, ConnectedClient *> m_outputClients;
    std::vector<std::unique_ptr<ConnectedClient>> m_departed;
};
