#include "redis/redisoptions.h"

#include "options/optionparsers.h"

OptionTable redisOptionTable()
{
    using namespace OptionParsers;
    return {
        {QStringLiteral("redis"), QStringLiteral("HOST:PORT"), QString(),
         QStringLiteral("Keep the picture in the Redis server at HOST:PORT, shared with every "
                        "other server started on it with the same key; excludes --picture and "
                        "--redis-sentinel."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("redis-sentinel"), QStringLiteral("HOST:PORT[,HOST:PORT...]"), QString(),
         QStringLiteral("In place of --redis: the Redis primary that these Sentinels name for "
                        "--redis-master, asked in turn; a failover is followed to the promoted "
                        "replica."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("redis-master"), QStringLiteral("NAME"), QString(),
         QStringLiteral("With --redis-sentinel: the name the Sentinels monitor the primary "
                        "under."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("redis-key"), QStringLiteral("NAME"), QStringLiteral("celvane"),
         QStringLiteral("The picture's key in Redis (celvane); its history is kept under "
                        "NAME:edits, NAME:meta, NAME:snapshots and NAME:connections."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("redis-password-file"), QStringLiteral("FILE"), QString(),
         QStringLiteral("Authenticate to Redis with the password on the first line of FILE."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("redis-replicas"), QStringLiteral("N"), QStringLiteral("0"),
         QStringLiteral("Relay an edit only once N replicas of the Redis primary hold it (0), so "
                        "that a failover loses nothing anyone was shown; while fewer answer, "
                        "the picture is out of reach."),
         Option::NeedsRestart, false,
         integer(0, RedisSettings::MostReplicas,
                 QStringLiteral("needs a number from 0 to %1").arg(RedisSettings::MostReplicas))},
    };
}

bool redisSettingsFrom(const OptionValues &values, RedisSettings *settings, QString *error)
{
    RedisSettings::Texts texts;
    texts.address = values.text(QStringLiteral("redis"));
    texts.sentinels = values.text(QStringLiteral("redis-sentinel"));
    texts.masterName = values.text(QStringLiteral("redis-master"));
    if (values.isSet(QStringLiteral("redis-key")))
        texts.key = values.text(QStringLiteral("redis-key"));
    texts.passwordFile = values.text(QStringLiteral("redis-password-file"));
    texts.replicas = values.text(QStringLiteral("redis-replicas"));
    return RedisSettings::fromTexts(texts, settings, error);
}

const OptionSet &redisOptionSet()
{
    static const OptionSet options = [] {
        OptionSet set;
        set.add(redisOptionTable());
        return set;
    }();
    return options;
}

bool usesRedis(const OptionValues &values)
{
    // --redis-master alone is a mistake to point out, not a picture file to serve.
    return values.isSet(QStringLiteral("redis")) ||
           values.isSet(QStringLiteral("redis-sentinel")) ||
           values.isSet(QStringLiteral("redis-master"));
}
