#include "redis/redisconnection.h"

#include "redis/redislogging.h"

#include <QSocketNotifier>
#include <QTimer>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

// A Redis that neither answers nor refuses (a dropped packet, a host that went) must not leave
// the server waiting on it for the kernel's two minutes.
constexpr int ConnectTimeoutMs = 3000;

// The event hooks hiredis calls for one context: its socket is watched for reading and writing
// only while hiredis asks for it.
struct Watch
{
    QSocketNotifier *read = nullptr;
    QSocketNotifier *write = nullptr;
};

void addRead(void *data)
{
    static_cast<Watch *>(data)->read->setEnabled(true);
}

void delRead(void *data)
{
    static_cast<Watch *>(data)->read->setEnabled(false);
}

void addWrite(void *data)
{
    static_cast<Watch *>(data)->write->setEnabled(true);
}

void delWrite(void *data)
{
    static_cast<Watch *>(data)->write->setEnabled(false);
}

void cleanup(void *data)
{
    auto *watch = static_cast<Watch *>(data);
    // hiredis frees its context from inside a notifier's own activation (a read that found the
    // socket closed): the notifiers go from the event loop, silenced until then.
    for (QSocketNotifier *notifier : {watch->read, watch->write}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    delete watch;
}

} // namespace

RedisConnection::RedisConnection(QObject *parent)
    : QObject(parent)
    , m_connectTimer(new QTimer(this))
{
    m_connectTimer->setSingleShot(true);
    m_connectTimer->setInterval(ConnectTimeoutMs);
    connect(m_connectTimer, &QTimer::timeout, this,
            [this] { lost(QStringLiteral("no answer within %1 ms").arg(ConnectTimeoutMs)); });
}

RedisConnection::~RedisConnection()
{
    close();
}

void RedisConnection::open(const QString &host, quint16 port, const QByteArray &password)
{
    close();
    m_password = password;
    redisAsyncContext *context = redisAsyncConnect(host.toUtf8().constData(), port);
    if (!context)
        return lost(QStringLiteral("out of memory"));
    if (context->err) {
        const QString reason = QString::fromUtf8(context->errstr);
        redisAsyncFree(context);
        // From the event loop, as every other outcome of open().
        QMetaObject::invokeMethod(
            this, [this, reason] { Q_EMIT closed(reason); }, Qt::QueuedConnection);
        return;
    }
    m_context = context;
    context->data = this;

    auto *watch = new Watch;
    watch->read = new QSocketNotifier(context->c.fd, QSocketNotifier::Read, this);
    watch->write = new QSocketNotifier(context->c.fd, QSocketNotifier::Write, this);
    watch->read->setEnabled(false);
    watch->write->setEnabled(false);
    connect(watch->read, &QSocketNotifier::activated, this,
            [context] { redisAsyncHandleRead(context); });
    connect(watch->write, &QSocketNotifier::activated, this,
            [context] { redisAsyncHandleWrite(context); });
    context->ev.data = watch;
    context->ev.addRead = addRead;
    context->ev.delRead = delRead;
    context->ev.addWrite = addWrite;
    context->ev.delWrite = delWrite;
    context->ev.cleanup = cleanup;
    redisAsyncSetConnectCallback(context, &RedisConnection::onConnect);
    redisAsyncSetDisconnectCallback(context, &RedisConnection::onDisconnect);
    m_connectTimer->start();
    // The connect completes when the socket turns writable.
    addWrite(watch);
}

void RedisConnection::close()
{
    m_connectTimer->stop();
    m_open = false;
    redisAsyncContext *context = std::exchange(m_context, nullptr);
    if (!context)
        return;
    // Callbacks still to come from this context belong to no one.
    context->data = nullptr;
    redisAsyncFree(context);
}

void RedisConnection::lost(const QString &reason)
{
    close();
    Q_EMIT closed(reason);
}

void RedisConnection::command(const QList<QByteArray> &arguments, ReplyHandler handler)
{
    if (!m_context) {
        if (handler)
            handler(nullptr);
        return;
    }
    std::vector<const char *> pointers;
    std::vector<size_t> lengths;
    pointers.reserve(size_t(arguments.size()));
    lengths.reserve(size_t(arguments.size()));
    for (const QByteArray &argument : arguments) {
        pointers.push_back(argument.constData());
        lengths.push_back(size_t(argument.size()));
    }
    auto *owned = handler ? new ReplyHandler(std::move(handler)) : nullptr;
    if (redisAsyncCommandArgv(m_context, owned ? &RedisConnection::onReply : nullptr, owned,
                              int(pointers.size()), pointers.data(), lengths.data()) != REDIS_OK) {
        std::unique_ptr<ReplyHandler> failed(owned);
        if (failed)
            (*failed)(nullptr);
    }
}

void RedisConnection::subscribe(const QByteArray &channel,
                                std::function<void(const QByteArray &)> handler)
{
    if (!m_context)
        return;
    m_messages = std::move(handler);
    const char *arguments[] = {"SUBSCRIBE", channel.constData()};
    const size_t lengths[] = {9, size_t(channel.size())};
    redisAsyncCommandArgv(m_context, &RedisConnection::onMessage, nullptr, 2, arguments, lengths);
}

void RedisConnection::onMessage(redisAsyncContext *context, void *reply, void *)
{
    auto *self = static_cast<RedisConnection *>(context->data);
    const auto *message = static_cast<const redisReply *>(reply);
    // ["message", channel, payload]; the confirmation of the subscription is ["subscribe", ...].
    if (!self || !message || message->type != REDIS_REPLY_ARRAY || message->elements != 3 ||
        message->element[2]->type != REDIS_REPLY_STRING ||
        QByteArrayView(message->element[0]->str, qsizetype(message->element[0]->len)) != "message")
        return;
    if (self->m_messages)
        self->m_messages(QByteArray(message->element[2]->str, qsizetype(message->element[2]->len)));
}

void RedisConnection::onConnect(const redisAsyncContext *context, int status)
{
    auto *self = static_cast<RedisConnection *>(context->data);
    if (!self || self->m_context != context)
        return;
    if (status != REDIS_OK) {
        // hiredis frees the context once this returns.
        self->m_context = nullptr;
        self->m_connectTimer->stop();
        Q_EMIT self->closed(QString::fromUtf8(context->errstr));
        return;
    }
    if (self->m_password.isEmpty()) {
        self->m_connectTimer->stop();
        self->m_open = true;
        Q_EMIT self->opened();
        return;
    }
    self->command({QByteArrayLiteral("AUTH"), self->m_password}, [self](redisReply *reply) {
        if (!reply)
            return;
        if (reply->type == REDIS_REPLY_ERROR)
            return self->lost(QStringLiteral("AUTH refused: %1")
                                  .arg(QString::fromUtf8(reply->str, int(reply->len))));
        self->m_connectTimer->stop();
        self->m_open = true;
        Q_EMIT self->opened();
    });
}

void RedisConnection::onDisconnect(const redisAsyncContext *context, int status)
{
    auto *self = static_cast<RedisConnection *>(context->data);
    if (!self || self->m_context != context)
        return;
    // hiredis frees the context once this returns.
    self->m_context = nullptr;
    self->m_open = false;
    self->m_connectTimer->stop();
    Q_EMIT self->closed(status == REDIS_OK || !context->errstr[0]
                            ? QStringLiteral("connection closed")
                            : QString::fromUtf8(context->errstr));
}

void RedisConnection::onReply(redisAsyncContext *, void *reply, void *handler)
{
    std::unique_ptr<ReplyHandler> owned(static_cast<ReplyHandler *>(handler));
    (*owned)(static_cast<redisReply *>(reply));
}
