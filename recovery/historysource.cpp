#include "recovery/historysource.h"

#include "journal/journalhistory.h"
#include "journal/journalstore.h"
#include "redis/redispicturehistory.h"
#include "server/picturefile.h"

#include <QEventLoop>
#include <QTimer>

namespace {

// How long a command waits for Redis to answer before it gives up.
constexpr int RedisWaitMs = 10 * 1000;

} // namespace

std::unique_ptr<PictureHistory> HistorySource::open(const QString &picturePath, QString *problem)
{
    const QString journalPath = JournalStore::journalPathFor(picturePath);
    auto history = std::make_unique<JournalHistory>(journalPath);
    switch (history->open()) {
    case JournalDatabase::Opened:
    case JournalDatabase::Created:
        return history;
    case JournalDatabase::Missing:
        *problem = QStringLiteral("%1 has no history: there is no %2 (a server keeps one for "
                                  "--picture %1 unless told --no-history)")
                       .arg(picturePath, journalPath);
        return nullptr;
    case JournalDatabase::Refused:
    case JournalDatabase::Failed:
        break;
    }
    *problem = history->errorString();
    return nullptr;
}

bool HistorySource::carryOut(const QString &picturePath, const PictureChange &change,
                             const QString &label, PictureChange::Outcome *outcome,
                             QString *problem)
{
    return withStore(
        picturePath, change.wanted().formatNumber(),
        [&](JournalStore *store) {
            const quint64 connection = store->openActionConnection(label);
            const bool carried = change.carryOut(store, connection, outcome, problem);
            store->closeConnection(connection);
            return carried;
        },
        problem);
}

bool HistorySource::withStore(const QString &picturePath, int formatNumber,
                              const std::function<bool(JournalStore *)> &work, QString *problem)
{
    PictureFile file(picturePath);
    Picture picture(formatNumber);
    const PictureFile::LoadResult loaded = file.load(&picture);
    if (loaded == PictureFile::Refused) {
        *problem = file.errorString();
        return false;
    }
    // Bounds left off: folding old edits away is the serving server's business, by its own
    // --history-keep, not a side effect of a repair.
    JournalStore::Options options;
    options.keepDays = 0;
    options.maxBytes = 0;
    JournalStore store(picturePath, picture, loaded == PictureFile::Loaded, options);
    if (store.start() != JournalStore::Started) {
        *problem = store.errorString();
        return false;
    }
    const bool done = work(&store);
    if (!store.finish()) {
        *problem = QStringLiteral("%1: cannot save the picture").arg(picturePath);
        return false;
    }
    if (done && !store.isJournaling()) {
        *problem = QStringLiteral("the picture was changed, but its history could not record it");
        return false;
    }
    return done;
}

std::unique_ptr<PictureHistory> HistorySource::open(const RedisPictureStore::Settings &redis,
                                                    QString *problem)
{
    auto history = std::make_unique<RedisPictureHistory>(redis);
    if (history->open())
        return history;
    *problem = history->errorString();
    return nullptr;
}

bool HistorySource::carryOut(const RedisPictureStore::Settings &redis, const PictureChange &change,
                             const QString &label, PictureChange::Outcome *outcome,
                             QString *problem)
{
    // The key exists (its history was just read), so the initial picture is never used.
    RedisPictureStore store(redis, Picture());
    QEventLoop loop;
    QString refusal;
    bool lost = false;
    QObject::connect(&store, &RedisPictureStore::refused, &loop, [&](const QString &reason) {
        refusal = reason;
        loop.quit();
    });
    QObject::connect(&store, &PictureStore::availabilityChanged, &loop, [&](bool available) {
        lost = !available;
        loop.quit();
    });
    // A store that loses Redis tries again for ever; a command gives up after a while.
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, &loop, [&] {
        lost = true;
        loop.quit();
    });
    const auto unreachable = [&] {
        *problem = refusal.isEmpty()
                       ? QStringLiteral("Redis at %1 cannot be reached").arg(store.address())
                       : QStringLiteral("Redis at %1: %2").arg(store.address(), refusal);
        return false;
    };
    giveUp.start(RedisWaitMs);
    store.start();
    loop.exec();
    if (!store.isAvailable() || !refusal.isEmpty())
        return unreachable();

    const quint64 connection = store.openActionConnection(label);
    bool settled = false;
    QObject::connect(&store, &RedisPictureStore::settled, &loop, [&] {
        settled = true;
        loop.quit();
    });
    bool recorded = false;
    QObject::connect(&store, &RedisPictureStore::connectionRecorded, &loop, [&] {
        recorded = true;
        loop.quit();
    });
    // Only a batch Redis refused as a whole replaces the picture of so short-lived a store.
    bool refused = false;
    QObject::connect(&store, &PictureStore::replaced, &loop, [&] { refused = true; });
    const bool carried = change.carryOut(&store, connection, outcome, problem);
    // The edits leave in the next turn of the event loop; settled() follows their answer.
    const bool sent = outcome->cells > 0 || outcome->colours > 0;
    giveUp.start(RedisWaitMs);
    while (sent && !settled && !lost)
        loop.exec();
    if (lost)
        return unreachable();
    if (refused) {
        *problem = QStringLiteral("Redis at %1 did not apply the change").arg(store.address());
        return false;
    }
    store.closeConnection(connection);
    while (!recorded && !lost)
        loop.exec();
    if (lost)
        return unreachable();
    return carried;
}
