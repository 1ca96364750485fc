#include "recovery/historysource.h"

#include "journal/journalhistory.h"
#include "journal/journalstore.h"
#include "server/picturefile.h"

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
                             PictureChange::Outcome *outcome, QString *problem)
{
    PictureFile file(picturePath);
    Picture picture(change.wanted().formatNumber());
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
    const quint64 connection = store.openControlConnection();
    const bool carried = change.carryOut(&store, connection, outcome, problem);
    store.closeConnection(connection);
    if (!store.finish()) {
        *problem = QStringLiteral("%1: cannot save the picture").arg(picturePath);
        return false;
    }
    if (carried && !store.isJournaling()) {
        *problem = QStringLiteral("the picture was changed, but its history could not record it");
        return false;
    }
    return carried;
}
