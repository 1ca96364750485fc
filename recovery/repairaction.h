#pragma once

#include "recovery/picturechange.h"
#include "redis/redispicturestore.h"
#include "server/picturehistory.h"

#include <QRect>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class RecoveryPlanner;

// One revert or restore as a command runs it: worked out from the picture's history, limited to
// an area if asked, and then either carried out (in Redis, through the running server that holds
// the picture file, or on the files themselves under the picture's lock) or, for a dry run, only
// weighed: what would change, whose work it would undo, and the picture it would leave, drawn
// as --export-png draws one. A dry run changes nothing and journals nothing.
//
// The action is carried out under a connection of its own, recorded with its label, so that the
// history lists it apart and it can be undone alone.
class RepairAction
{
public:
    // The picture a command works on: a picture file with its journal, or a picture in Redis.
    struct Source
    {
        QString path;
        std::optional<RedisPictureStore::Settings> redis;
    };
    // Works the change out; nothing, with the reason in the planner's errorString(), if it cannot.
    using Plan = std::function<std::optional<PictureChange>(RecoveryPlanner &)>;

    QString what;  // how the printed line begins: "reverted 127.0.0.3"
    QString label; // the action's connection's: "revert 127.0.0.3 by root"
    QRect area;    // the cells it may change; null for the whole picture and its frame colours
    bool dryRun = false;
    QString previewPath; // with dryRun: where to write the picture it would leave, as PNG

    // Runs the action: the lines to print, or nothing with one line in *problem and nothing
    // changed.
    std::optional<QString> run(const Source &source, const Plan &plan, QString *problem) const;

    // The history kept for the source; nothing, with one line in *problem, if there is none.
    static std::unique_ptr<PictureHistory> openHistory(const Source &source, QString *problem);

    // The name of the user running the command, for labels.
    static QString userName();
    // "X,Y,W,H" in cells; nothing, with one line in *problem, for anything else.
    static std::optional<QRect> parseArea(const QString &text, QString *problem);
    // "X,Y,W,H" again, for labels.
    static QString areaText(const QRect &area);

private:
    std::optional<PictureChange> plan(RecoveryPlanner &planner, const Plan &plan,
                                      QString *problem) const;
    std::optional<QString> weigh(RecoveryPlanner &planner, const Picture &current,
                                 const Picture &result, const PictureChange::Outcome &outcome,
                                 const QString &where, QString *problem) const;
    QString done(const PictureChange::Outcome &outcome, const QString &where) const;
    // Hands the change to the server running on the picture file.
    std::optional<QString> throughServer(RecoveryPlanner &planner, const QString &socketPath,
                                         const PictureChange &change, QString *problem) const;
};
