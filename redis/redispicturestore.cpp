#include "redis/redispicturestore.h"

#include "connection/protocol.h"
#include "redis/redisconnection.h"
#include "redis/redisdurability.h"
#include "redis/redislogging.h"
#include "redis/redismoderation.h"
#include "redis/redissentinel.h"

#include <QDateTime>
#include <QTimer>

#include <hiredis/hiredis.h>

#include <algorithm>
#include <memory>

Q_LOGGING_CATEGORY(lcRedis, "celvane.redis", QtWarningMsg)

namespace {

// Entries taken from the stream at a time: one write per client carries them all.
constexpr int ReadCount = 1000;
// Edits sent to the script in one call at most, and the arguments before them.
constexpr int BatchEdits = 1000;
constexpr qsizetype BatchPrefix = 5;
constexpr qsizetype BatchArguments = BatchPrefix + 2 * BatchEdits;
// Redis gone: the first attempt again comes quickly, later ones ever more slowly up to this.
constexpr int FirstRetryMs = 100;
constexpr int LongestRetryMs = 2000;
constexpr qint64 LogEveryMs = 60 * 1000;
// A Redis that stops answering without closing (stopped, its host gone) counts as lost after
// this long: the windows must not go on showing a picture that may have moved on.
constexpr int PingEveryMs = 1000;
constexpr qint64 AnswerWithinMs = 5000;
// Connections of one server are numbered from its number times this, so that servers sharing a
// picture never give out the same number.
constexpr quint64 ConnectionsPerServer = 1000000000;

QByteArray replyText(const redisReply *reply)
{
    return QByteArray(reply->str, qsizetype(reply->len));
}

bool isError(const redisReply *reply, const char *prefix)
{
    return reply->type == REDIS_REPLY_ERROR && replyText(reply).startsWith(prefix);
}

// A write refused by a replica, directly or from inside the script: the server named the primary
// is one no longer.
bool isReadOnly(const redisReply *reply)
{
    return reply->type == REDIS_REPLY_ERROR && replyText(reply).contains("READONLY");
}

} // namespace

qint64 RedisPictureStore::snapshotInterval(qint64 maxEntries)
{
    return std::clamp<qint64>(maxEntries / 8, 1, 10000);
}

RedisPictureStore::RedisPictureStore(const Settings &settings, const Picture &initial,
                                     QObject *parent)
    : PictureStore(parent)
    , m_settings(settings)
    , m_keys(settings.key)
    , m_initial(RedisPictureKeys::encodePicture(initial))
    , m_picture(initial)
    , m_commands(new RedisConnection(this))
    , m_reader(new RedisConnection(this))
    , m_retryTimer(new QTimer(this))
    , m_pingTimer(new QTimer(this))
    , m_graceTimer(new QTimer(this))
    , m_moderationTimer(new QTimer(this))
{
    m_moderationTimer->setInterval(RedisModeration::PollMs);
    connect(m_moderationTimer, &QTimer::timeout, this, &RedisPictureStore::pollModeration);
    m_clock.start();
    m_graceTimer->setSingleShot(true);
    m_graceTimer->setInterval(FailoverGraceMs);
    connect(m_graceTimer, &QTimer::timeout, this, &RedisPictureStore::graceOver);
    if (settings.usesSentinel()) {
        m_sentinel = new RedisSentinel(settings, this);
        connect(m_sentinel, &RedisSentinel::found, this, [this](const QString &host, quint16 port) {
            if (m_state == Connecting)
                openConnections(host, port);
        });
        connect(m_sentinel, &RedisSentinel::failed, this, [this](const QString &reason) {
            if (m_state == Connecting)
                connectionLost(reason);
        });
        connect(m_sentinel, &RedisSentinel::switched, this, &RedisPictureStore::followSwitch);
    } else {
        m_primaryHost = settings.host;
        m_primaryPort = settings.port;
    }
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &RedisPictureStore::connectNow);
    m_pingTimer->setInterval(PingEveryMs);
    connect(m_pingTimer, &QTimer::timeout, this, &RedisPictureStore::checkAnswering);
    for (RedisConnection *connection : {m_commands, m_reader}) {
        connect(connection, &RedisConnection::opened, this, &RedisPictureStore::connectionOpened);
        connect(connection, &RedisConnection::closed, this, &RedisPictureStore::connectionLost);
    }
    const qint64 maxEntries = qMax<qint64>(1, settings.maxEntries);
    m_every = QByteArray::number(snapshotInterval(maxEntries));
    m_maxEntries = QByteArray::number(maxEntries);
    m_keepMs = QByteArray::number(qMax<qint64>(0, settings.keepMs));
}

RedisPictureStore::~RedisPictureStore()
{
    // Pending replies are handed null as the connections close, while this store is whole; none
    // may reach it through a signal.
    for (RedisConnection *connection : {m_commands, m_reader}) {
        connection->disconnect(this);
        connection->close();
    }
}

QString RedisPictureStore::address() const
{
    if (m_primaryHost.isEmpty())
        return QStringLiteral("the primary of %1").arg(QString::fromUtf8(m_settings.masterName));
    return QStringLiteral("%1:%2").arg(m_primaryHost).arg(m_primaryPort);
}

void RedisPictureStore::start()
{
    connectNow();
}

void RedisPictureStore::connectNow()
{
    if (m_state == Refused)
        return;
    m_retryTimer->stop();
    m_state = Connecting;
    ++m_generation;
    if (m_sentinel)
        return m_sentinel->ask();
    openConnections(m_primaryHost, m_primaryPort);
}

void RedisPictureStore::openConnections(const QString &host, quint16 port)
{
    m_primaryHost = host;
    m_primaryPort = port;
    m_commands->open(host, port, m_settings.password);
    m_reader->open(host, port, m_settings.password);
}

void RedisPictureStore::connectionOpened()
{
    if (m_state == Connecting && m_commands->isOpen() && m_reader->isOpen())
        load();
}

void RedisPictureStore::dropConnections()
{
    // Both go: edits in flight may or may not have been applied, and the reader's position is
    // worth nothing without the picture it belongs to. Reloading settles both.
    m_commands->close();
    m_reader->close();
    ++m_generation;
    m_state = Offline;
    m_pingTimer->stop();
    m_moderationTimer->stop();
    m_moderationAsked = false;
    m_pingSentMs = -1;
    m_pending = 0;
    m_batch.clear();
    m_open.clear();
}

void RedisPictureStore::connectionLost(const QString &reason)
{
    if (m_state == Refused)
        return;
    dropConnections();
    const qint64 now = m_clock.elapsed();
    if (m_available && m_sentinel) {
        if (!m_graceTimer->isActive()) {
            m_graceTimer->start();
            qCWarning(lcRedis).noquote()
                << "lost the Redis primary at" << address() << "-" << reason
                << "- asking Sentinel for the one that takes over, clients kept for up to"
                << FailoverGraceMs / 1000 << "s";
        }
    } else if (m_available) {
        m_available = false;
        m_lastLossLogMs = now;
        qCWarning(lcRedis).noquote()
            << "lost Redis at" << address() << "-" << reason
            << "- closing every client, and turning new ones away until it is back";
        Q_EMIT availabilityChanged(false);
    } else if (m_lastLossLogMs < 0 || now - m_lastLossLogMs >= LogEveryMs) {
        m_lastLossLogMs = now;
        qCWarning(lcRedis).noquote()
            << "cannot reach Redis at" << address() << "-" << reason << "- trying again, for ever";
    }
    m_retryDelayMs = m_retryDelayMs == 0 ? FirstRetryMs : qMin(m_retryDelayMs * 2, LongestRetryMs);
    m_retryTimer->start(m_retryDelayMs);
}

void RedisPictureStore::graceOver()
{
    if (m_state == Serving || !m_available)
        return;
    m_available = false;
    m_lastLossLogMs = m_clock.elapsed();
    qCWarning(lcRedis).noquote() << "no Redis primary within" << FailoverGraceMs / 1000
                                 << "s - closing every client, and turning new ones away "
                                    "until one is back";
    Q_EMIT availabilityChanged(false);
}

void RedisPictureStore::followSwitch(const QString &host, quint16 port)
{
    if (m_state == Refused || (host == m_primaryHost && port == m_primaryPort))
        return;
    // The old primary may still be up, taking writes no replica will keep: leave it now.
    const QString from = address();
    if (m_state != Offline)
        dropConnections();
    if (m_available && !m_graceTimer->isActive()) {
        m_graceTimer->start();
        qCWarning(lcRedis).noquote()
            << "Sentinel moved the primary from" << from << "to"
            << QStringLiteral("%1:%2").arg(host).arg(port) << "- following it";
    }
    m_retryDelayMs = 0;
    connectNow();
}

void RedisPictureStore::refuse(const QString &reason)
{
    m_state = Refused;
    m_available = false;
    m_commands->close();
    m_reader->close();
    m_retryTimer->stop();
    m_pingTimer->stop();
    m_graceTimer->stop();
    Q_EMIT refused(reason);
}

void RedisPictureStore::runScript(const QList<QByteArray> &arguments,
                                  std::function<void(redisReply *)> done)
{
    const QList<QByteArray> keys = m_keys.scriptKeys();
    m_commands->command(
        QList<QByteArray>{QByteArrayLiteral("EVALSHA"), RedisPictureKeys::scriptSha()} + keys +
            arguments,
        [this, keys, arguments, done](redisReply *reply) {
            if (!reply || !isError(reply, "NOSCRIPT"))
                return done(reply);
            // The script cache was flushed (SCRIPT FLUSH, a restart without persistence): EVAL
            // caches it again for whatever follows. Edits pipelined behind this one may take
            // effect before it; every window still sees the order Redis gives them.
            m_commands->command(
                QList<QByteArray>{QByteArrayLiteral("EVAL"), RedisPictureKeys::script()} + keys +
                    arguments,
                done);
        });
}

void RedisPictureStore::load()
{
    m_state = Loading;
    // A Redis that took the connection but answers nothing must not hold the start, or a reload,
    // for ever: the pings behind the load go unanswered too.
    if (!m_pingTimer->isActive())
        m_pingTimer->start();
    const quint64 generation = m_generation;
    m_commands->command(
        {QByteArrayLiteral("SCRIPT"), QByteArrayLiteral("LOAD"), RedisPictureKeys::script()});
    runScript({QByteArrayLiteral("load"), m_initial}, [this, generation](redisReply *reply) {
        if (reply && generation == m_generation)
            loaded(reply);
    });
}

void RedisPictureStore::loaded(redisReply *reply)
{
    if (isError(reply, "WRONGTYPE") || isError(reply, "NOTCELVANE"))
        return refuse(QString::fromUtf8(replyText(reply)));
    if (reply->type == REDIS_REPLY_ERROR)
        // A replica that was the primary, Redis loading its data after a restart, out of
        // memory, ...: it may pass.
        return connectionLost(QString::fromUtf8(replyText(reply)));
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 3 ||
        reply->element[0]->type != REDIS_REPLY_STRING)
        return refuse(QStringLiteral("an unexpected answer to loading the picture"));
    const std::optional<Picture> picture =
        RedisPictureKeys::decodePicture(replyText(reply->element[0]));
    bool ok = false;
    const quint64 seq = replyText(reply->element[1]).toULongLong(&ok);
    if (!picture || !ok)
        return refuse(QStringLiteral("%1 holds a picture that is damaged")
                          .arg(QString::fromUtf8(m_keys.picture())));
    // The load wrote the server number, so what it read is replicated once that is.
    const quint64 server = quint64(reply->element[2]->integer);
    whenReplicated(m_commands, false,
                   [this, picture = *picture, seq, server] { serve(picture, seq, server); });
}

void RedisPictureStore::serve(const Picture &picture, quint64 seq, quint64 server)
{
    // A fresh number at every load: Redis may have lost everything, numbers included, and
    // connections open before a load are closed or keep the numbers they were recorded under.
    m_server = server;
    m_picture = picture;
    m_columns = QByteArray::number(m_picture.format().columns);
    m_applied = seq;
    m_state = Serving;
    m_retryDelayMs = 0;
    readNext();
    checkPersistence();
    pollModeration();
    m_moderationTimer->start();
    if (m_available) {
        if (m_graceTimer->isActive()) {
            m_graceTimer->stop();
            qCWarning(lcRedis).noquote()
                << "following Sentinel to the primary at" << address() << "- serving again at edit"
                << m_applied << "and sending every client the picture afresh";
        }
        // Caught up again after falling behind, or on a promoted replica: the windows'
        // pictures are replaced too.
        Q_EMIT replaced();
        return;
    }
    m_available = true;
    if (m_lastLossLogMs >= 0)
        qCWarning(lcRedis).noquote()
            << "Redis at" << address() << "is back: serving again at edit" << m_applied;
    else
        qCInfo(lcRedis).noquote() << "serving" << m_keys.picture() << "from Redis at" << address()
                                  << "at edit" << m_applied;
    m_lastLossLogMs = -1;
    Q_EMIT availabilityChanged(true);
}

void RedisPictureStore::checkPersistence()
{
    if (!m_settings.warnWithoutPersistence || m_persistenceChecked)
        return;
    m_persistenceChecked = true;
    RedisDurability::checkPersistence(m_commands, address());
}

void RedisPictureStore::whenReplicated(RedisConnection *connection, bool publish,
                                       std::function<void()> then)
{
    if (m_settings.replicas == 0)
        return then();
    const quint64 generation = m_generation;
    RedisDurability::waitForReplicas(
        connection, m_settings.replicas, publish ? m_keys.sync() : QByteArray(),
        [this, generation, then = std::move(then)](bool held, const QString &reason) {
            if (generation != m_generation)
                return;
            if (!held)
                return connectionLost(reason);
            then();
        });
}

void RedisPictureStore::checkAnswering()
{
    const qint64 now = m_clock.elapsed();
    if (m_pingSentMs >= 0) {
        if (now - m_pingSentMs >= AnswerWithinMs)
            connectionLost(QStringLiteral("no answer within %1 ms").arg(AnswerWithinMs));
        return;
    }
    m_pingSentMs = now;
    const quint64 generation = m_generation;
    m_commands->command({QByteArrayLiteral("PING")}, [this, generation](redisReply *reply) {
        if (reply && generation == m_generation)
            m_pingSentMs = -1;
    });
}

void RedisPictureStore::readNext()
{
    const quint64 generation = m_generation;
    m_reader->command({QByteArrayLiteral("XREAD"), QByteArrayLiteral("COUNT"),
                       QByteArray::number(ReadCount), QByteArrayLiteral("BLOCK"),
                       QByteArrayLiteral("0"), QByteArrayLiteral("STREAMS"), m_keys.edits(),
                       RedisPictureKeys::entryId(m_applied)},
                      [this, generation](redisReply *reply) {
                          if (reply && generation == m_generation && m_state == Serving)
                              entriesRead(reply);
                      });
}

void RedisPictureStore::entriesRead(redisReply *reply)
{
    if (reply->type == REDIS_REPLY_ERROR)
        return connectionLost(QString::fromUtf8(replyText(reply)));
    // [[stream, [[id, [field, value, ...]], ...]]], or nil when nothing came.
    QList<Entry> entries;
    if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 1 &&
        reply->element[0]->type == REDIS_REPLY_ARRAY && reply->element[0]->elements == 2) {
        const redisReply *read = reply->element[0]->element[1];
        entries.reserve(qsizetype(read->elements));
        for (size_t i = 0; i < read->elements; ++i) {
            const redisReply *entry = read->element[i];
            Entry &taken = entries.emplace_back();
            if (entry->elements != 2)
                break;
            taken.seq = RedisPictureKeys::seqOfEntry(replyText(entry->element[0])).value_or(0);
            const redisReply *fields = entry->element[1];
            for (size_t f = 0; f + 1 < fields->elements; f += 2) {
                const QByteArrayView name(fields->element[f]->str, fields->element[f]->len);
                const redisReply *value = fields->element[f + 1];
                if (name == "c")
                    taken.connection = replyText(value).toULongLong();
                else if (name == "m")
                    taken.message = replyText(value);
            }
        }
    }
    if (entries.isEmpty())
        return readNext();
    whenReplicated(m_reader, true, [this, entries] { announce(entries); });
}

void RedisPictureStore::announce(const QList<Entry> &entries)
{
    for (const Entry &entry : entries) {
        if (entry.seq != m_applied + 1) {
            qCInfo(lcRedis).noquote() << "the stream goes on at" << entry.seq << "after edit"
                                      << m_applied << "- reloading the picture";
            return load();
        }
        const QByteArrayView message(entry.message);
        if (message.size() < Protocol::HeaderSize ||
            m_picture.apply(quint8(message.at(0)), message.sliced(Protocol::HeaderSize)) !=
                Picture::Applied) {
            qCWarning(lcRedis).noquote()
                << "edit" << entry.seq << "in the stream cannot be applied - reloading the picture";
            return load();
        }
        m_applied = entry.seq;
        Q_EMIT edited(entry.connection, message);
        // A receiver may have reloaded or lost Redis meanwhile.
        if (m_state != Serving)
            return;
    }
    readNext();
}

quint64 RedisPictureStore::openConnection(const QHostAddress &address, quint16 port)
{
    const quint64 id = m_server * ConnectionsPerServer + ++m_lastConnection;
    const QByteArray record =
        (address.isNull() ? QByteArrayLiteral("control") : address.toString().toUtf8()) + ' ' +
        QByteArray::number(port) + ' ' + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    m_open.insert(id, record);
    m_commands->command(
        {QByteArrayLiteral("HSET"), m_keys.connections(), QByteArray::number(id), record + " -1"});
    noteAddress(id, address);
    return id;
}

quint64 RedisPictureStore::openActionConnection(const QString &label)
{
    const quint64 id = openConnection(QHostAddress(), 0);
    // On the same connection as the record, so that both are in Redis before any edit of it.
    m_commands->command(
        {QByteArrayLiteral("HSET"), m_keys.labels(), QByteArray::number(id), label.toUtf8()});
    return id;
}

quint64 RedisPictureStore::openNamedConnection(const QHostAddress &address, quint16 port,
                                               const QString &name)
{
    const quint64 id = openConnection(address, port);
    if (name.isEmpty())
        return id;
    // As a label is: on the same connection as the record, before any edit of it.
    m_commands->command(
        {QByteArrayLiteral("HSET"), m_keys.names(), QByteArray::number(id), name.toUtf8()});
    noteAddress(id, address, name);
    return id;
}

bool RedisPictureStore::changeModeration(const Moderation::Change &change, QString *problem)
{
    if (m_state != Serving) {
        *problem = QStringLiteral("Redis at %1 cannot be reached").arg(address());
        return false;
    }
    Moderation changed = moderation();
    if (!changed.apply(change, problem))
        return false;
    m_commands->command(RedisModeration::command(m_keys, change));
    // Applied here at once too; the next reading confirms it.
    setModeration(changed);
    return true;
}

void RedisPictureStore::pollModeration()
{
    // One reading at a time: a Redis slow to answer is not asked again meanwhile.
    if (m_moderationAsked || m_state != Serving)
        return;
    m_moderationAsked = true;
    const quint64 generation = m_generation;
    const QList<QList<QByteArray>> reads = RedisModeration::readCommands(m_keys);
    // Both readings go out back to back, so their answers come in order.
    auto read = std::make_shared<Moderation>();
    auto ok = std::make_shared<bool>(false);
    m_commands->command(reads.at(0), [read, ok](redisReply *reply) {
        *ok = RedisModeration::addBans(reply, read.get());
    });
    m_commands->command(reads.at(1), [this, generation, read, ok](redisReply *reply) {
        if (!reply || generation != m_generation)
            return;
        m_moderationAsked = false;
        if (!*ok || !RedisModeration::addLocks(reply, read.get()) || *read == moderation())
            return;
        qCInfo(lcRedis).noquote() << QStringLiteral("now %1 bans and %2 locks in force")
                                         .arg(read->bans().size())
                                         .arg(read->locks().size());
        setModeration(*read);
    });
}

void RedisPictureStore::closeConnection(quint64 connection)
{
    forgetAddress(connection);
    const QByteArray record = m_open.take(connection);
    if (record.isEmpty())
        return;
    const quint64 generation = m_generation;
    m_commands->command({QByteArrayLiteral("HSET"), m_keys.connections(),
                         QByteArray::number(connection),
                         record + ' ' + QByteArray::number(QDateTime::currentMSecsSinceEpoch())},
                        [this, generation, connection](redisReply *reply) {
                            if (reply && generation == m_generation)
                                Q_EMIT connectionRecorded(connection);
                        });
}

Picture::EditResult RedisPictureStore::submit(quint64 connection, quint8 kind,
                                              QByteArrayView message)
{
    if (const Picture::EditResult screened = screen(connection, kind, message);
        screened != Picture::Applied)
        return screened;
    // The edit is checked against a copy, since the picture itself changes only by the stream:
    // whether it fits the format and palette does not depend on what the cells hold.
    Picture checked = m_picture;
    const Picture::EditResult result = checked.apply(kind, message.sliced(Protocol::HeaderSize));
    // Without Redis (a read under way as it went, or a failover's grace) the edit goes nowhere:
    // the picture its sender is sent once Redis is back shows it was not kept.
    if (result != Picture::Applied || (m_state != Serving && m_state != Loading))
        return result;
    if (m_batch.isEmpty()) {
        m_batch = {QByteArrayLiteral("edit"), m_columns, m_every, m_maxEntries, m_keepMs};
        // The edits of one turn of the event loop (a client's whole read, and every other
        // client's read of that turn) go to Redis as one script call.
        QMetaObject::invokeMethod(this, &RedisPictureStore::sendBatch, Qt::QueuedConnection);
    }
    m_batch.append(QByteArray::number(connection));
    m_batch.append(message.toByteArray());
    if (m_batch.size() >= BatchArguments)
        sendBatch();
    return result;
}

void RedisPictureStore::sendBatch()
{
    if (m_batch.isEmpty())
        return;
    const int count = int(m_batch.size() - BatchPrefix) / 2;
    m_pending += count;
    const quint64 generation = m_generation;
    runScript(std::exchange(m_batch, QList<QByteArray>()),
              [this, generation, count](redisReply *reply) {
                  if (reply && generation == m_generation)
                      batchConfirmed(reply, count);
              });
}

void RedisPictureStore::batchConfirmed(redisReply *reply, int count)
{
    if (isReadOnly(reply))
        return connectionLost(QString::fromUtf8(replyText(reply)));
    if (reply->type == REDIS_REPLY_ERROR) {
        // Their senders show the edits already: every window gets the picture as Redis has it.
        qCWarning(lcRedis).noquote()
            << "Redis did not apply" << count << "edits -" << replyText(reply);
        Q_EMIT replaced();
    }
    m_pending -= count;
    if (m_pending == 0)
        Q_EMIT settled();
}
