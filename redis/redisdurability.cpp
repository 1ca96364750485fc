#include "redis/redisdurability.h"

#include "redis/redisconnection.h"
#include "redis/redislogging.h"

#include <hiredis/hiredis.h>

#include <memory>
#include <optional>

namespace {

// The value of a one-parameter CONFIG GET, or nothing if Redis refused it (a renamed command).
std::optional<QByteArray> configValue(const redisReply *reply)
{
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
        reply->element[1]->type != REDIS_REPLY_STRING)
        return std::nullopt;
    return QByteArray(reply->element[1]->str, qsizetype(reply->element[1]->len));
}

} // namespace

void RedisDurability::checkPersistence(RedisConnection *connection, const QString &address)
{
    const auto appendOnly = std::make_shared<std::optional<QByteArray>>();
    connection->command(
        {QByteArrayLiteral("CONFIG"), QByteArrayLiteral("GET"), QByteArrayLiteral("appendonly")},
        [appendOnly](redisReply *reply) { *appendOnly = configValue(reply); });
    connection->command(
        {QByteArrayLiteral("CONFIG"), QByteArrayLiteral("GET"), QByteArrayLiteral("save")},
        [address, appendOnly](redisReply *reply) {
            if (!reply)
                return;
            const std::optional<QByteArray> save = configValue(reply);
            if (!*appendOnly || !save)
                // A Redis that keeps CONFIG to itself (renamed) is trusted with its data.
                qCInfo(lcRedis).noquote() << "Redis at" << address
                                          << "does not say how it keeps its data (CONFIG refused)";
            else if (**appendOnly == "no" && save->trimmed().isEmpty())
                qCWarning(lcRedis).noquote()
                    << "Redis at" << address
                    << "keeps nothing on disk (appendonly no, no save points): a restart of it "
                       "loses the picture";
            else
                qCInfo(lcRedis).noquote()
                    << "Redis at" << address << "keeps its data on disk (appendonly" << **appendOnly
                    << "- save" << QString::fromUtf8(*save) + QLatin1Char(')');
        });
}

void RedisDurability::waitForReplicas(RedisConnection *connection, int replicas,
                                      const QByteArray &publishFirst,
                                      std::function<void(bool, const QString &)> answered)
{
    if (!publishFirst.isEmpty())
        // Nobody listens; the write only moves this connection's place in the replication
        // stream past everything it has read, which is what WAIT waits for.
        connection->command({QByteArrayLiteral("PUBLISH"), publishFirst, QByteArray()});
    connection->command(
        {QByteArrayLiteral("WAIT"), QByteArray::number(replicas),
         QByteArray::number(ReplicasWithinMs)},
        [replicas, answered = std::move(answered)](redisReply *reply) {
            if (!reply)
                return;
            const long long held = reply->type == REDIS_REPLY_INTEGER ? reply->integer : 0;
            answered(held >= replicas, QStringLiteral("%1 of %2 replicas acknowledged within %3 ms")
                                           .arg(held)
                                           .arg(replicas)
                                           .arg(ReplicasWithinMs));
        });
}
