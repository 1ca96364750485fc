#include "recovery/repairaction.h"

#include "recovery/controlclient.h"
#include "recovery/controlserver.h"
#include "recovery/historysource.h"
#include "recovery/recoveryplanner.h"
#include "server/picturerenderer.h"

#include <QLockFile>

#include <pwd.h>
#include <unistd.h>

namespace {

QString counts(const PictureChange::Outcome &outcome)
{
    return QStringLiteral("%1 cell%2 and %3 frame colour%4")
        .arg(outcome.cells)
        .arg(outcome.cells == 1 ? "" : "s")
        .arg(outcome.colours)
        .arg(outcome.colours == 1 ? "" : "s");
}

} // namespace

std::unique_ptr<PictureHistory> RepairAction::openHistory(const Source &source, QString *problem)
{
    return source.redis ? HistorySource::open(*source.redis, problem)
                        : HistorySource::open(source.path, problem);
}

QString RepairAction::userName()
{
    const uid_t uid = ::geteuid();
    const struct passwd *entry = ::getpwuid(uid);
    return entry && entry->pw_name ? QString::fromLocal8Bit(entry->pw_name)
                                   : QStringLiteral("uid %1").arg(uid);
}

std::optional<QRect> RepairAction::parseArea(const QString &text, QString *problem)
{
    const QStringList parts = text.split(QLatin1Char(','));
    QList<int> numbers;
    bool ok = parts.size() == 4;
    for (const QString &part : parts) {
        bool isNumber = false;
        numbers.append(part.trimmed().toInt(&isNumber));
        ok = ok && isNumber;
    }
    if (!ok) {
        *problem =
            QStringLiteral("--area needs X,Y,W,H in cells, such as 0,0,10,5, not \"%1\"").arg(text);
        return std::nullopt;
    }
    if (numbers.at(0) < 0 || numbers.at(1) < 0 || numbers.at(2) < 1 || numbers.at(3) < 1) {
        *problem =
            QStringLiteral("--area %1: X and Y must be 0 or more, W and H 1 or more").arg(text);
        return std::nullopt;
    }
    return QRect(numbers.at(0), numbers.at(1), numbers.at(2), numbers.at(3));
}

QString RepairAction::areaText(const QRect &area)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(area.x())
        .arg(area.y())
        .arg(area.width())
        .arg(area.height());
}

std::optional<PictureChange> RepairAction::plan(RecoveryPlanner &planner, const Plan &plan,
                                                QString *problem) const
{
    const std::optional<PictureChange> change = plan(planner);
    if (!change) {
        *problem = planner.errorString();
        return std::nullopt;
    }
    if (area.isNull())
        return change;
    const CanvasFormat &format = change->wanted().format();
    if (!QRect(0, 0, format.columns, format.rows).contains(area)) {
        *problem = QStringLiteral("--area %1 reaches outside the picture's grid of %2x%3 cells")
                       .arg(areaText(area))
                       .arg(format.columns)
                       .arg(format.rows);
        return std::nullopt;
    }
    return change->limitedTo(area);
}

QString RepairAction::done(const PictureChange::Outcome &outcome, const QString &where) const
{
    return QStringLiteral("%1: %2 changed%3\n").arg(what, counts(outcome), where);
}

std::optional<QString> RepairAction::weigh(RecoveryPlanner &planner, const Picture &current,
                                           const Picture &result,
                                           const PictureChange::Outcome &outcome,
                                           const QString &where, QString *problem) const
{
    const std::optional<QList<RecoveryPlanner::Undone>> undone = planner.undone(current, result);
    if (!undone) {
        *problem = planner.errorString();
        return std::nullopt;
    }
    if (!previewPath.isEmpty() && !PictureRenderer::render(result).save(previewPath, "PNG")) {
        *problem = QStringLiteral("%1: cannot write the preview").arg(previewPath);
        return std::nullopt;
    }
    QString text = QStringLiteral("%1 (dry run, nothing changed): %2 would change%3\n")
                       .arg(what, counts(outcome), where);
    if (!undone->isEmpty())
        text += RecoveryPlanner::formatUndone(*undone);
    return text;
}

std::optional<QString> RepairAction::throughServer(RecoveryPlanner &planner,
                                                   const QString &socketPath,
                                                   const PictureChange &change,
                                                   QString *problem) const
{
    const QString where = QStringLiteral(" (by the running server)");
    const std::optional<ControlClient::Reply> reply =
        ControlClient::send(socketPath, {label, dryRun, change.encode()}, problem);
    if (!reply)
        return std::nullopt;
    if (!reply->ok) {
        *problem = QStringLiteral("the server refused: %1").arg(reply->message);
        return std::nullopt;
    }
    if (!dryRun)
        return done(reply->outcome, where);
    if (!reply->current || !reply->result) {
        *problem = QStringLiteral("the server did not say what the change would do");
        return std::nullopt;
    }
    return weigh(planner, *reply->current, *reply->result, reply->outcome, where, problem);
}

std::optional<QString> RepairAction::run(const Source &source, const Plan &planned,
                                         QString *problem) const
{
    const QString socketPath = ControlServer::socketPath(source.path);
    std::unique_ptr<QLockFile> lock;
    bool serverRuns = false;
    if (!source.redis) {
        // Before anything else: another user's server refuses us, and its files may not be
        // ours to read.
        if (!ControlClient::checkOwner(socketPath, problem))
            return std::nullopt;
        lock = std::make_unique<QLockFile>(source.path + QStringLiteral(".lock"));
        lock->setStaleLockTime(0);
        serverRuns = !lock->tryLock(0);
        if (serverRuns && lock->error() != QLockFile::LockFailedError) {
            *problem = QStringLiteral("%1: cannot take its lock %1.lock").arg(source.path);
            return std::nullopt;
        }
    }
    // From here on, with no server running, the journal is read and written by this process
    // alone.
    const std::unique_ptr<PictureHistory> history = openHistory(source, problem);
    if (!history)
        return std::nullopt;
    RecoveryPlanner planner(history.get());
    const std::optional<PictureChange> change = plan(planner, planned, problem);
    if (!change)
        return std::nullopt;
    if (serverRuns)
        return throughServer(planner, socketPath, *change, problem);

    const QString where = source.redis ? QStringLiteral(" (through Redis)") : QString();
    if (dryRun) {
        // The history's newest picture is the picture: nobody else changes the files
        // meanwhile, and Redis holds its picture as the stream leads to it.
        const std::optional<Picture> current = planner.newest();
        if (!current) {
            *problem = planner.errorString();
            return std::nullopt;
        }
        const std::optional<Picture> result = change->appliedTo(*current);
        if (!result) {
            *problem = QStringLiteral("the picture is of another format than the change");
            return std::nullopt;
        }
        return weigh(planner, *current, *result, PictureChange::difference(*current, *result),
                     where, problem);
    }
    PictureChange::Outcome outcome;
    const bool carried =
        source.redis ? HistorySource::carryOut(*source.redis, *change, label, &outcome, problem)
                     : HistorySource::carryOut(source.path, *change, label, &outcome, problem);
    if (!carried)
        return std::nullopt;
    return done(outcome, where);
}
