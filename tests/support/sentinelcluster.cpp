#include "tests/support/sentinelcluster.h"

#include <QDeadlineTimer>
#include <QThread>

namespace {

// Sentinels find one another through the primary's hello messages, sent every two seconds.
constexpr int ReadyWithinMs = 15000;
constexpr int PollMs = 20;

// The value after name in redis-cli's one-per-line printing of a flat reply.
QByteArray field(const QByteArray &printed, const QByteArray &name)
{
    const QList<QByteArray> lines = printed.split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        if (lines.at(i).trimmed() == name)
            return lines.at(i + 1).trimmed();
    return {};
}

} // namespace

bool SentinelCluster::isInstalled()
{
    return RedisProcess::isSentinelInstalled();
}

const char *SentinelCluster::missingMessage()
{
    return "needs redis-server, redis-cli and redis-sentinel in /usr/bin (Debian packages "
           "redis-server and redis-sentinel)";
}

bool SentinelCluster::waitFor(const char *what, const std::function<bool()> &condition)
{
    const QDeadlineTimer deadline(ReadyWithinMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            m_failure = QByteArray("timed out waiting until ") + what;
            return false;
        }
        QThread::msleep(PollMs);
    }
    return true;
}

bool SentinelCluster::start(int replicas, int sentinels)
{
    // No delay before a full copy to a replica that asks: the replicas start right away.
    const QStringList quick{QStringLiteral("--repl-diskless-sync-delay"), QStringLiteral("0")};
    m_servers.push_back(std::make_unique<RedisProcess>());
    if (!primary().start(quick)) {
        m_failure = primary().failure();
        return false;
    }
    for (int r = 0; r < replicas; ++r) {
        m_servers.push_back(std::make_unique<RedisProcess>());
        if (!m_servers.back()->start(quick + QStringList{QStringLiteral("--replicaof"),
                                                         QStringLiteral("127.0.0.1"),
                                                         QString::number(primary().port())})) {
            m_failure = m_servers.back()->failure();
            return false;
        }
    }
    const QByteArray online = "state=online";
    if (!waitFor("every replica copies the primary", [&] {
            return primary()
                       .cli({QStringLiteral("INFO"), QStringLiteral("replication")})
                       .count(online) == replicas;
        }))
        return false;
    const int quorum = sentinels / 2 + 1;
    for (int s = 0; s < sentinels; ++s) {
        m_sentinels.push_back(std::make_unique<RedisProcess>());
        if (!m_sentinels.back()->startSentinel(masterName(), primary().port(), quorum)) {
            m_failure = m_sentinels.back()->failure();
            return false;
        }
    }
    for (auto &sentinel : m_sentinels) {
        if (!waitFor("every Sentinel knows every replica and every other Sentinel", [&] {
                const QByteArray printed = sentinel->cli(
                    {QStringLiteral("SENTINEL"), QStringLiteral("master"), masterName()});
                return field(printed, "num-slaves").toInt() == replicas &&
                       field(printed, "num-other-sentinels").toInt() == sentinels - 1;
            }))
            return false;
    }
    return true;
}

QString SentinelCluster::sentinels() const
{
    QStringList addresses;
    for (const auto &sentinel : m_sentinels)
        addresses.append(sentinel->address());
    return addresses.join(QLatin1Char(','));
}

RedisProcess *SentinelCluster::namedPrimary()
{
    for (auto &sentinel : m_sentinels) {
        const QList<QByteArray> named =
            sentinel
                ->cli({QStringLiteral("SENTINEL"), QStringLiteral("get-master-addr-by-name"),
                       masterName()})
                .split('\n');
        if (named.size() != 2)
            continue;
        for (auto &server : m_servers)
            if (server->port() == named.at(1).trimmed().toUInt())
                return server.get();
    }
    return nullptr;
}
