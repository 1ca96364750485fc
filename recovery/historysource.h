#pragma once

#include "recovery/picturechange.h"
#include "server/picturehistory.h"

#include <QString>

#include <memory>

// Where the recovery commands find a picture's history and how they change a picture that no
// server holds: the journal beside the picture file.
class HistorySource
{
public:
    // The history kept for the picture file, read-only; nothing, with one line in *problem, for a
    // file without a journal or a journal that cannot be read.
    static std::unique_ptr<PictureHistory> open(const QString &picturePath, QString *problem);

    // Carries the change out on the picture file and its journal, as a server would, under a
    // connection recorded as "control". The caller holds the picture's lock.
    static bool carryOut(const QString &picturePath, const PictureChange &change,
                         PictureChange::Outcome *outcome, QString *problem);
};
