#include "redis/redissentinel.h"

#include "redis/redisconnection.h"
#include "redis/redislogging.h"

#include <hiredis/hiredis.h>

#include <memory>

namespace {

constexpr int AskTimeoutMs = 2000;
const QByteArray SwitchChannel = QByteArrayLiteral("+switch-master");

QList<QByteArray> question(const QByteArray &masterName)
{
    return {QByteArrayLiteral("SENTINEL"), QByteArrayLiteral("get-master-addr-by-name"),
            masterName};
}

QString where(const RedisSettings::Address &address)
{
    return QStringLiteral("%1:%2").arg(address.host).arg(address.port);
}

QString noPrimary(const QByteArray &masterName, const QStringList &failures)
{
    return QStringLiteral("no Sentinel names the primary of %1 (%2)")
        .arg(QString::fromUtf8(masterName), failures.join(QStringLiteral("; ")));
}

} // namespace

RedisSentinel::RedisSentinel(const RedisSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_asking(new RedisConnection(this))
    , m_watching(new RedisConnection(this))
{
    connect(m_asking, &RedisConnection::opened, this, [this] {
        m_asking->command(question(m_settings.masterName),
                          [this](redisReply *reply) { answered(reply); });
    });
    connect(m_asking, &RedisConnection::closed, this, &RedisSentinel::skip);
    connect(m_watching, &RedisConnection::opened, this, [this] {
        m_watching->subscribe(SwitchChannel,
                              [this](const QByteArray &message) { announced(message); });
    });
    // A Sentinel that went is replaced by the next one that answers a question.
    connect(m_watching, &RedisConnection::closed, this, [this] { m_watched = false; });
}

RedisSentinel::~RedisSentinel()
{
    for (RedisConnection *connection : {m_asking, m_watching}) {
        connection->disconnect(this);
        connection->close();
    }
}

bool RedisSentinel::parseAnswer(const redisReply *reply, RedisSettings::Address *primary)
{
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
        reply->element[0]->type != REDIS_REPLY_STRING ||
        reply->element[1]->type != REDIS_REPLY_STRING)
        return false;
    bool ok = false;
    const uint port =
        QByteArray(reply->element[1]->str, qsizetype(reply->element[1]->len)).toUInt(&ok);
    if (!ok || port < 1 || port > 65535 || reply->element[0]->len == 0)
        return false;
    primary->host = QString::fromUtf8(reply->element[0]->str, qsizetype(reply->element[0]->len));
    primary->port = quint16(port);
    return true;
}

void RedisSentinel::ask()
{
    m_next = 0;
    m_failures.clear();
    askNext();
}

void RedisSentinel::askNext()
{
    if (m_next >= m_settings.sentinels.size()) {
        m_asking->close();
        return Q_EMIT failed(noPrimary(m_settings.masterName, m_failures));
    }
    const RedisSettings::Address &sentinel = m_settings.sentinels.at(m_next);
    m_asking->open(sentinel.host, sentinel.port);
}

void RedisSentinel::skip(const QString &reason)
{
    if (m_next >= m_settings.sentinels.size())
        return;
    m_failures.append(QStringLiteral("%1: %2").arg(where(m_settings.sentinels.at(m_next)), reason));
    ++m_next;
    askNext();
}

void RedisSentinel::answered(redisReply *reply)
{
    if (!reply)
        return;
    RedisSettings::Address primary;
    if (!parseAnswer(reply, &primary)) {
        const QString why = reply->type == REDIS_REPLY_ERROR
                                ? QString::fromUtf8(reply->str, qsizetype(reply->len))
                                : QStringLiteral("does not know it");
        m_asking->close();
        return skip(why);
    }
    m_asking->close();
    if (!m_watched)
        watch(m_settings.sentinels.at(m_next));
    Q_EMIT found(primary.host, primary.port);
}

void RedisSentinel::watch(const RedisSettings::Address &sentinel)
{
    m_watched = true;
    m_watching->open(sentinel.host, sentinel.port);
}

void RedisSentinel::announced(const QByteArray &message)
{
    // "NAME OLD_IP OLD_PORT NEW_IP NEW_PORT"
    const QList<QByteArray> words = message.split(' ');
    if (words.size() != 5 || words.at(0) != m_settings.masterName)
        return;
    bool ok = false;
    const uint port = words.at(4).toUInt(&ok);
    if (ok && port >= 1 && port <= 65535)
        Q_EMIT switched(QString::fromUtf8(words.at(3)), quint16(port));
}

bool RedisSentinel::askNow(const RedisSettings &settings, RedisSettings::Address *primary,
                           QString *error)
{
    QStringList failures;
    const timeval timeout{AskTimeoutMs / 1000, (AskTimeoutMs % 1000) * 1000};
    for (const RedisSettings::Address &sentinel : settings.sentinels) {
        std::unique_ptr<redisContext, void (*)(redisContext *)> context(
            redisConnectWithTimeout(sentinel.host.toUtf8().constData(), sentinel.port, timeout),
            redisFree);
        if (!context || context->err) {
            failures.append(QStringLiteral("%1: %2").arg(
                where(sentinel),
                context ? QString::fromUtf8(context->errstr) : QStringLiteral("out of memory")));
            continue;
        }
        redisSetTimeout(context.get(), timeout);
        auto *reply = static_cast<redisReply *>(
            redisCommand(context.get(), "SENTINEL get-master-addr-by-name %b",
                         settings.masterName.constData(), size_t(settings.masterName.size())));
        const bool named = parseAnswer(reply, primary);
        if (!named)
            failures.append(QStringLiteral("%1: %2").arg(
                where(sentinel),
                reply ? QStringLiteral("does not know it") : QString::fromUtf8(context->errstr)));
        if (reply)
            freeReplyObject(reply);
        if (named)
            return true;
    }
    *error = noPrimary(settings.masterName, failures);
    return false;
}
