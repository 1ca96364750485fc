#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

struct redisAsyncContext;
struct redisReply;
class QTimer;

// One connection to Redis, driven by Qt's event loop: commands are written without waiting and
// their replies come back as callbacks from the loop, in the order the commands were sent, so the
// server stays single-threaded and never blocks on Redis.
//
// hiredis's own Qt adapter connects its socket notifiers by signal strings that Qt 6 no longer
// has (QSocketNotifier::activated(int)) and deletes a notifier from inside its own signal, so the
// few lines it takes are written here on QSocketNotifier instead.
class RedisConnection : public QObject
{
    Q_OBJECT

public:
    // reply is null when the connection went before the reply came; valid during the call only.
    using ReplyHandler = std::function<void(redisReply *reply)>;

    explicit RedisConnection(QObject *parent = nullptr);
    ~RedisConnection() override;

    // Starts connecting; opened() or closed() follows from the event loop. With a password, AUTH
    // is the first command, and a refused one closes the connection.
    void open(const QString &host, quint16 port, const QByteArray &password = {});
    // Drops the connection now: pending replies are handed null, and closed() is not emitted.
    void close();
    bool isOpen() const { return m_open; }

    // Queues a command; a connection that is not open hands handler null at once.
    void command(const QList<QByteArray> &arguments, ReplyHandler handler = {});
    // Subscribes to channel: handler is given the payload of each message published on it. The
    // connection is good for nothing else afterwards.
    void subscribe(const QByteArray &channel, std::function<void(const QByteArray &)> handler);

Q_SIGNALS:
    void opened();
    // The connection failed or went; reason is for a person.
    void closed(const QString &reason);

private:
    static void onConnect(const redisAsyncContext *context, int status);
    static void onDisconnect(const redisAsyncContext *context, int status);
    static void onReply(redisAsyncContext *context, void *reply, void *handler);
    static void onMessage(redisAsyncContext *context, void *reply, void *);
    void lost(const QString &reason);

    redisAsyncContext *m_context = nullptr;
    QTimer *m_connectTimer = nullptr;
    bool m_open = false;
    QByteArray m_password;
    // hiredis calls a subscription's callback for every message, so it is kept here.
    std::function<void(const QByteArray &)> m_messages;
};
