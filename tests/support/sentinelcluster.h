#pragma once

#include "tests/support/redisprocess.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

// A primary, its replicas and the Sentinels watching it: real redis-server and redis-sentinel
// processes, each on a free loopback port in a temporary folder of its own, stopped by their
// PIDs. start() returns once every replica copies the primary and every Sentinel knows every
// replica and every other Sentinel, so that a failover can begin the moment the primary goes.
//
//     SentinelCluster cluster;
//     if (!SentinelCluster::isInstalled())
//         QSKIP(SentinelCluster::missingMessage());
//     QVERIFY2(cluster.start(2, 3), cluster.failure());
//     server.start({"--redis-sentinel", cluster.sentinels(), "--redis-master", "celvane"});
class SentinelCluster
{
public:
    static bool isInstalled();
    static const char *missingMessage();
    static QByteArray masterName() { return QByteArrayLiteral("celvane"); }

    bool start(int replicas, int sentinels);
    // HOST:PORT,HOST:PORT,... as --redis-sentinel takes it.
    QString sentinels() const;
    RedisProcess &primary() { return *m_servers.front(); }
    // The replicas, numbered from 1.
    RedisProcess &replica(int number) { return *m_servers.at(size_t(number)); }
    // The Redis server the Sentinels name the primary now, or null.
    RedisProcess *namedPrimary();
    const char *failure() const { return m_failure.constData(); }

private:
    bool waitFor(const char *what, const std::function<bool()> &condition);

    std::vector<std::unique_ptr<RedisProcess>> m_servers;
    std::vector<std::unique_ptr<RedisProcess>> m_sentinels;
    QByteArray m_failure;
};
