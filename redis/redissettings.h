#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Where a picture in Redis is and how it is kept: one Redis at host:port, or the primary that
// the Sentinels watching masterName name at the moment (host and port are then filled in by
// each connection, and change when a replica is promoted).
struct RedisSettings
{
    // What one kept edit takes in Redis, roughly (a stream entry and its share of the whole
    // pictures), to turn a size bound into a number of edits.
    static constexpr qint64 EstimatedEntryBytes = 100;
    // A replica count beyond any real deployment is a typing error, not a wish.
    static constexpr int MostReplicas = 100;

    struct Address
    {
        QString host; // numeric: connecting again must not wait for a resolver
        quint16 port = 0;
    };

    QString host;
    quint16 port = 6379;
    QByteArray password;
    QByteArray key = QByteArrayLiteral("celvane");
    // The stream keeps at least the edits of the last keepMs and at most about maxEntries.
    qint64 keepMs = 30LL * 24 * 3600 * 1000;
    qint64 maxEntries = 256LL * 1024 * 1024 / EstimatedEntryBytes;
    // With Sentinels, asked in this order; empty for a Redis at host:port.
    QList<Address> sentinels;
    QByteArray masterName;
    // An edit is relayed only once this many replicas hold it.
    int replicas = 0;
    // Whether to say, once serving, that the Redis used keeps nothing on disk: a server does,
    // a command that runs once does not.
    bool warnWithoutPersistence = false;

    bool usesSentinel() const { return !sentinels.isEmpty(); }

    // HOST:PORT, a name resolved once here so that connecting again never waits for a resolver;
    // false with one line naming option in *error if it is not one.
    static bool parseAddress(const QString &text, const QString &option, Address *address,
                             QString *error);

    // The settings --redis HOST:PORT (or --redis-sentinel HOST:PORT,... with --redis-master
    // NAME), --redis-key NAME, --redis-password-file FILE and --redis-replicas N give, the bounds
    // left at their defaults. An empty text is an option not given. False with one line in
    // *error if one is wrong.
    struct Texts
    {
        QString address;
        QString sentinels;
        QString masterName;
        QString key = QStringLiteral("celvane");
        QString passwordFile;
        QString replicas;
    };
    static bool fromTexts(const Texts &texts, RedisSettings *settings, QString *error);
};
