#pragma once

#include "recovery/picturechange.h"
#include "redis/redispicturestore.h"
#include "server/picturehistory.h"

#include <QString>

#include <functional>
#include <memory>

class JournalStore;

// Where the recovery commands find a picture's history and how they change a picture that no
// server holds (the journal beside the picture file), or one kept in Redis, which every server
// serving it reads and relays.
class HistorySource
{
public:
    // The history kept for the picture file, read-only; nothing, with one line in *problem, for a
    // file without a journal or a journal that cannot be read.
    static std::unique_ptr<PictureHistory> open(const QString &picturePath, QString *problem);

    // Carries the change out on the picture file and its journal, as a server would, under a
    // connection of its own recorded as "control" with the action's label. The caller holds the
    // picture's lock.
    static bool carryOut(const QString &picturePath, const PictureChange &change,
                         const QString &label, PictureChange::Outcome *outcome, QString *problem);

    // Runs work on the picture file's store, as a server would run it, and saves the picture
    // after it; formatNumber is the format a missing picture file is made in. The caller holds
    // the picture's lock.
    static bool withStore(const QString &picturePath, int formatNumber,
                          const std::function<bool(JournalStore *)> &work, QString *problem);

    // The history kept in Redis under the settings' key; nothing, with one line in *problem, for
    // a Redis out of reach or a key that holds no picture.
    static std::unique_ptr<PictureHistory> open(const RedisPictureStore::Settings &redis,
                                                QString *problem);

    // Carries the change out in Redis under a connection of its own recorded as "control" with
    // the action's label, through the same script as any server's edits, so every server relays
    // it to its windows. The change is weighed against the picture as Redis holds it once
    // connected, which is at least as new as the history it was worked out from.
    static bool carryOut(const RedisPictureStore::Settings &redis, const PictureChange &change,
                         const QString &label, PictureChange::Outcome *outcome, QString *problem);
};
