#include "redis/redisoptions.h"

#include "options/optionparsers.h"

OptionTable redisOptionTable()
{
    using namespace OptionParsers;
    return {
        {QStringLiteral("redis"), QStringLiteral("HOST:PORT"), QString(),
         QStringLiteral("Keep the picture in the Redis server at HOST:PORT, shared with every "
                        "other server started on it with the same key; excludes --picture."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("redis-key"), QStringLiteral("NAME"), QStringLiteral("celvane"),
         QStringLiteral("The picture's key in Redis (celvane); its history is kept under "
                        "NAME:edits, NAME:meta, NAME:snapshots and NAME:connections."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("redis-password-file"), QStringLiteral("FILE"), QString(),
         QStringLiteral("Authenticate to Redis with the password on the first line of FILE."),
         Option::NeedsRestart, false, text()},
    };
}
