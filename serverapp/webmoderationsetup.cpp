#include "serverapp/webmoderationsetup.h"

#include "journal/journalstore.h"
#include "journal/moment.h"
#include "recovery/cellauthorship.h"
#include "recovery/controlserver.h"
#include "recovery/recoveryplanner.h"
#include "server/pictureserver.h"
#include "web/webfrontend.h"

#include <QDateTime>

namespace {

using Failure = WebModeration::Failure;

bool fail(Failure *failure, int status, const QString &message)
{
    *failure = {status, message};
    return false;
}

// Who a selector names, for labels and messages.
QString whoText(const WebModeration::Selector &who)
{
    if (!who.author.isEmpty())
        return QStringLiteral("author %1").arg(who.author);
    if (who.connection)
        return QStringLiteral("connection %1").arg(who.connection);
    return who.address.toString();
}

// The history as it stands, its last batch committed; nothing, with the failure, without one.
PictureHistory *historyOf(JournalStore *journal, Failure *failure)
{
    PictureHistory *history = journal ? journal->history() : nullptr;
    if (!history)
        fail(failure, journal ? 503 : 404,
             journal ? QStringLiteral("the history cannot be read now")
                     : QStringLiteral("no history kept"));
    return history;
}

// The revert of everyone the selector names, in the span, worked out as the revert command
// works it out.
std::optional<PictureChange> revertOf(RecoveryPlanner &planner, const WebModeration::Selector &who,
                                      const RecoveryPlanner::Span &span)
{
    if (who.author.isEmpty() && !who.connection)
        return planner.revert(who.address, span);
    RecoveryPlanner::Author author;
    author.connection = who.connection;
    author.name = who.author;
    return planner.revert(author, span);
}

std::optional<WebModeration::Reverted> revert(JournalStore *journal, ControlServer *control,
                                              const WebModeration::RevertOrder &order,
                                              Failure *failure)
{
    PictureHistory *history = historyOf(journal, failure);
    if (!history)
        return std::nullopt;
    RecoveryPlanner planner(history);
    const std::optional<RecoveryPlanner::Span> span = planner.span(order.sinceMs, order.untilMs);
    std::optional<PictureChange> change;
    if (span)
        change = revertOf(planner, order.who, *span);
    if (!change)
        return fail(failure, 400, planner.errorString()), std::nullopt;
    QString label = QStringLiteral("revert %1").arg(whoText(order.who));
    if (!order.area.isNull()) {
        change = change->limitedTo(order.area);
        label += QStringLiteral(" in ") + Moderation::areaText(order.area);
    }
    const ControlClient::Reply reply = control->carryOut(
        *change, label + QStringLiteral(" by %1 (web)").arg(order.by), order.preview);
    if (!reply.ok)
        return fail(failure, 500, reply.message), std::nullopt;
    return WebModeration::Reverted{reply.outcome.cells, reply.outcome.colours, reply.result};
}

std::optional<WebModeration::Banned> ban(PictureServer *server, JournalStore *journal,
                                         ControlServer *control,
                                         const WebModeration::BanOrder &order, Failure *failure)
{
    ControlClient::ModerationRequest request;
    request.change.kind = Moderation::Change::AddBan;
    request.change.ban.subnet = order.who.address;
    request.change.ban.author = order.who.author;
    request.change.ban.setBy = order.by;
    request.change.ban.setMs = QDateTime::currentMSecsSinceEpoch();
    request.change.ban.untilMs = order.untilMs;
    request.change.ban.reason = order.reason;
    if (order.revert) {
        PictureHistory *history = historyOf(journal, failure);
        if (!history)
            return std::nullopt;
        RecoveryPlanner planner(history);
        const std::optional<RecoveryPlanner::Span> span = planner.span(std::nullopt, std::nullopt);
        if (span)
            request.revert = revertOf(planner, order.who, *span);
        // Someone who connected but never edited is banned with nothing to undo.
        if (!request.revert &&
            !planner.errorString().endsWith(QLatin1String("no edits in that time")))
            return fail(failure, 400, planner.errorString()), std::nullopt;
        request.label = QStringLiteral("ban %1 by %2 (web)").arg(whoText(order.who), order.by);
    }
    const int before = server->clientCount();
    const ControlClient::Reply reply = control->moderate(request);
    if (!reply.ok)
        return fail(failure, 400, reply.message), std::nullopt;
    return WebModeration::Banned{before - server->clientCount(),
                                 reply.outcome.cells + reply.outcome.colours};
}

std::optional<WebModeration::CellChange> lastChange(CellAuthorship *authorship, int x, int y,
                                                    Failure *failure)
{
    const CellAuthorship::Cell cell = authorship->cell(x, y);
    if (cell.state == CellAuthorship::NotKnownYet)
        return fail(failure, 503, QStringLiteral("still reading the history; try again shortly")),
               std::nullopt;
    WebModeration::CellChange change;
    change.changed = cell.state == CellAuthorship::Changed;
    if (change.changed) {
        change.name = cell.who.name;
        change.connection = cell.connection;
        change.timeMs = cell.timeMs;
        change.address = cell.who.address;
    }
    return change;
}

std::optional<WebModeration::Authors> authors(CellAuthorship *authorship, qint64 sinceMs,
                                              Failure *failure)
{
    QString error;
    const std::optional<CellAuthorship::Authors> found = authorship->authorsSince(sinceMs, &error);
    if (!found)
        return fail(failure, 503, error), std::nullopt;
    WebModeration::Authors list{found->sinceMs, {}};
    for (const CellAuthorship::Author &author : found->authors)
        list.authors.append(
            {author.name, author.connection, author.edits, author.lastMs, author.addresses});
    return list;
}

bool moderate(ControlServer *control, const Moderation::Change &change, Failure *failure)
{
    ControlClient::ModerationRequest request;
    request.change = change;
    const ControlClient::Reply reply = control->moderate(request);
    return reply.ok || fail(failure, 400, reply.message);
}

} // namespace

TimeParser WebModerationSetup::timeParser()
{
    return [](const QString &text, QString *error) -> std::optional<qint64> {
        const std::optional<qint64> moment = parseMoment(text, QDateTime::currentDateTime());
        if (!moment)
            *error = QStringLiteral("TIME must be an ISO 8601 date and time, a time of day "
                                    "(14:05) or a span ago (90s, 10m, 2h, 3d)");
        return moment;
    };
}

WebModeration WebModerationSetup::hooks(PictureServer *server, JournalStore *journal,
                                        ControlServer *control, WebFrontEnd *web)
{
    WebModeration hooks;
    // A banned editor's key admits them nowhere, the API included: a banned moderator must not
    // lift their own ban.
    hooks.authenticate = [server, web](QByteArrayView key) {
        std::optional<WebEditor> editor = web->access().editorFor(key);
        if (editor && server->store()->moderation().bansAuthor(editor->name,
                                                               QDateTime::currentMSecsSinceEpoch()))
            editor.reset();
        return editor;
    };
    hooks.parseTime = timeParser();
    hooks.moderation = [server] {
        Moderation moderation = server->store()->moderation();
        moderation.dropExpired(QDateTime::currentMSecsSinceEpoch());
        return moderation;
    };
    if (!control)
        return hooks;
    hooks.ban = [server, journal, control](const WebModeration::BanOrder &order, Failure *failure) {
        return ban(server, journal, control, order, failure);
    };
    hooks.unban = [control](const WebModeration::Selector &who, const QString &, Failure *failure) {
        Moderation::Change change;
        change.kind = Moderation::Change::RemoveBan;
        change.ban.subnet = who.address;
        change.ban.author = who.author;
        return moderate(control, change, failure);
    };
    hooks.lock = [control](const Moderation::Lock &lock, Failure *failure) {
        Moderation::Change change;
        change.kind = Moderation::Change::AddLock;
        change.lock = lock;
        return moderate(control, change, failure);
    };
    hooks.unlock = [control](const QRect &area, const QString &, Failure *failure) {
        Moderation::Change change;
        change.kind = Moderation::Change::RemoveLock;
        change.lock.area = area;
        return moderate(control, change, failure);
    };
    if (!journal)
        return hooks;
    hooks.revert = [journal, control](const WebModeration::RevertOrder &order, Failure *failure) {
        return revert(journal, control, order, failure);
    };
    // Kept up to date with every edit from now on, and seeded from the history meanwhile.
    auto *authorship = new CellAuthorship(
        server->store(), [journal] { return journal->history(); }, web);
    authorship->start();
    hooks.lastChange = [authorship](int x, int y, Failure *failure) {
        return lastChange(authorship, x, y, failure);
    };
    hooks.authors = [authorship](qint64 sinceMs, Failure *failure) {
        return authors(authorship, sinceMs, failure);
    };
    return hooks;
}
