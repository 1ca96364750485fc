#include "recovery/moderationcommands.h"

#include "journal/journalhistory.h"
#include "journal/journalstore.h"
#include "recovery/controlclient.h"
#include "recovery/controlserver.h"
#include "recovery/historysource.h"
#include "recovery/recoveryplanner.h"
#include "redis/redisoptions.h"
#include "redis/redispicturehistory.h"
#include "redis/redispicturestore.h"
#include "server/picturefile.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QLockFile>

#include <cstdio>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;

int fail(const QString &message)
{
    std::fprintf(stderr, "celvane-server: %s\n", qPrintable(message));
    return ExitFailed;
}

// The user running the command, whom a ban or lock names as its setter.
QString currentUser()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(::geteuid());
}

const QCommandLineOption addressOption(QStringLiteral("address"),
                                       QStringLiteral("The address, or ADDRESS/PREFIX for a block "
                                                      "(10.1.0.0/16, 2001:db8::/32)."),
                                       QStringLiteral("ADDRESS"));
const QCommandLineOption authorOption(QStringLiteral("author"),
                                      QStringLiteral("An editor's NAME (a web page opened with "
                                                     "that editor's key), wherever they connect "
                                                     "from."),
                                      QStringLiteral("NAME"));
const QCommandLineOption areaOption(QStringLiteral("area"),
                                    QStringLiteral("A rectangle of cells: its left column, top "
                                                   "row, width and height (default: the whole "
                                                   "picture, frame colours included)."),
                                    QStringLiteral("X,Y,W,H"));

// One subcommand's command line and the picture it names, with its history open.
struct Invocation
{
    Invocation(const QString &name, const QString &description)
    {
        parser.setApplicationDescription(description);
        parser.addHelpOption();
        parser.addPositionalArgument(name, QStringLiteral("The command."), name);
        parser.addPositionalArgument(
            QStringLiteral("FILE"),
            QStringLiteral("The picture file (as given to --picture); or --redis in its place."));
        redisOptionSet().addTo(&parser);
    }

    // Parses and opens the picture's history; false after saying what is wrong.
    bool open(const QStringList &arguments)
    {
        parser.process(arguments);
        QString problem;
        OptionValues redisValues;
        if (!redisOptionSet().read(parser, &redisValues, &problem))
            return fail(problem), false;
        const bool viaRedis = usesRedis(redisValues);
        if (parser.positionalArguments().size() != 2 - int(viaRedis)) {
            fail(QStringLiteral("%1 takes one FILE, or --redis in its place; see %1 --help")
                     .arg(arguments.value(1)));
            return false;
        }
        if (viaRedis) {
            settings = RedisPictureStore::Settings();
            if (!redisSettingsFrom(redisValues, &*settings, &problem))
                return fail(problem), false;
            redisHistory = std::make_unique<RedisPictureHistory>(*settings);
            if (!redisHistory->open())
                return fail(redisHistory->errorString()), false;
            return true;
        }
        PictureFile file(parser.positionalArguments().at(1));
        if (!file.settle())
            return fail(file.errorString()), false;
        path = file.path();
        if (!ControlClient::checkOwner(ControlServer::socketPath(path), &problem))
            return fail(problem), false;
        journal = std::make_unique<JournalHistory>(JournalStore::journalPathFor(path));
        const JournalDatabase::OpenResult opened = journal->open();
        if (opened != JournalDatabase::Opened)
            return fail(opened == JournalDatabase::Missing
                            ? QStringLiteral("%1 keeps no bans or locks: there is no %2 (a server "
                                             "keeps one for --picture %1 unless told --no-history)")
                                  .arg(path, JournalStore::journalPathFor(path))
                            : journal->errorString()),
                   false;
        return true;
    }

    PictureHistory *history() const
    {
        return journal ? static_cast<PictureHistory *>(journal.get()) : redisHistory.get();
    }
    std::optional<Moderation> moderation()
    {
        std::optional<Moderation> kept =
            journal ? journal->moderation() : redisHistory->moderation();
        if (!kept)
            fail(history()->errorString());
        return kept;
    }
    std::optional<bool> hasConnectionFrom(const Subnet &subnet)
    {
        const std::optional<bool> found =
            journal ? journal->hasConnectionFrom(subnet) : redisHistory->hasConnectionFrom(subnet);
        if (!found)
            fail(history()->errorString());
        return found;
    }
    std::optional<bool> hasConnectionNamed(const QString &name)
    {
        const std::optional<bool> found =
            journal ? journal->hasConnectionNamed(name) : redisHistory->hasConnectionNamed(name);
        if (!found)
            fail(history()->errorString());
        return found;
    }
    // Whom a ban names: the subnet --address gives, or the editor --author does (ban's subnet
    // and author); false after saying what is wrong.
    bool target(Moderation::Ban *ban)
    {
        if (parser.isSet(addressOption) == parser.isSet(authorOption))
            return fail(QStringLiteral("%1 needs --address ADDRESS[/PREFIX] or --author NAME")
                            .arg(parser.positionalArguments().value(0))),
                   false;
        QString problem;
        if (parser.isSet(authorOption)) {
            if (!Moderation::checkAuthorName(parser.value(authorOption), &problem))
                return fail(problem), false;
            ban->author = parser.value(authorOption);
            return true;
        }
        const std::optional<Subnet> parsed = Subnet::parse(parser.value(addressOption), &problem);
        if (!parsed)
            return fail(problem), false;
        ban->subnet = *parsed;
        return true;
    }
    // Whether the history saw whom the ban names; nothing after saying why it cannot tell.
    std::optional<bool> knows(const Moderation::Ban &ban)
    {
        return ban.author.isEmpty() ? hasConnectionFrom(ban.subnet)
                                    : hasConnectionNamed(ban.author);
    }
    // The rectangle --area names, null without it; false after saying what is wrong.
    bool area(QRect *area)
    {
        if (!parser.isSet(areaOption))
            return true;
        PictureHistory *kept = history();
        const std::optional<Picture> picture = kept->pictureAt(kept->lastSeq());
        if (!picture)
            return fail(kept->errorString()), false;
        QString problem;
        const std::optional<QRect> parsed =
            Moderation::parseArea(parser.value(areaOption), picture->format(), &problem);
        if (!parsed)
            return fail(problem), false;
        *area = *parsed;
        return true;
    }

    // Checks the change against what is kept, then carries it out: in Redis, through the running
    // server that holds the picture file, or on the files under the picture's lock. what is the
    // line printed once it is done.
    int carryOut(const ControlClient::ModerationRequest &request, const QString &what)
    {
        std::optional<Moderation> kept = moderation();
        if (!kept)
            return ExitFailed;
        QString problem;
        if (!kept->apply(request.change, &problem))
            return fail(problem);
        PictureChange::Outcome outcome;
        QString how;
        if (redisHistory) {
            if (!redisHistory->changeModeration(request.change))
                return fail(redisHistory->errorString());
            if (request.revert && !HistorySource::carryOut(*settings, *request.revert,
                                                           request.label, &outcome, &problem))
                return fail(QStringLiteral("set, but not reverted: %1").arg(problem));
            how = QStringLiteral(" (through Redis)");
        } else {
            QLockFile lock(path + QStringLiteral(".lock"));
            lock.setStaleLockTime(0);
            const bool serverRuns = !lock.tryLock(0);
            if (serverRuns && lock.error() != QLockFile::LockFailedError)
                return fail(QStringLiteral("%1: cannot take its lock %1.lock").arg(path));
            if (serverRuns) {
                const std::optional<ControlClient::Reply> reply =
                    ControlClient::send(ControlServer::socketPath(path), request, &problem);
                if (!reply)
                    return fail(problem);
                if (!reply->ok)
                    return fail(QStringLiteral("the server refused: %1").arg(reply->message));
                outcome = reply->outcome;
                how = QStringLiteral(" (by the running server)");
            } else {
                // The history's reader goes first: the store writes the same file.
                journal.reset();
                const bool done = HistorySource::withStore(
                    path, Picture::DefaultFormat,
                    [&](JournalStore *store) {
                        if (!store->changeModeration(request.change, &problem))
                            return false;
                        if (!request.revert)
                            return true;
                        const quint64 connection = store->openActionConnection(request.label);
                        const bool carried =
                            request.revert->carryOut(store, connection, &outcome, &problem);
                        store->closeConnection(connection);
                        return carried;
                    },
                    &problem);
                if (!done)
                    return fail(problem);
            }
        }
        QString line = what;
        if (request.revert)
            line += QStringLiteral("; reverted its edits: %1 cell%2 and %3 frame colour%4 changed")
                        .arg(outcome.cells)
                        .arg(outcome.cells == 1 ? "" : "s")
                        .arg(outcome.colours)
                        .arg(outcome.colours == 1 ? "" : "s");
        std::fputs(qPrintable(line + how + QLatin1Char('\n')), stdout);
        return ExitOk;
    }

    QCommandLineParser parser;
    QString path;
    std::optional<RedisPictureStore::Settings> settings;
    std::unique_ptr<JournalHistory> journal;
    std::unique_ptr<RedisPictureHistory> redisHistory;
};

int ban(const QStringList &arguments)
{
    Invocation command(
        QStringLiteral("ban"),
        QStringLiteral("Bans an address or a block of addresses: every window and web viewer "
                       "from it is closed at once and new ones are turned away, until unban or "
                       "--for runs out. Or bans a named editor (--author): their pages are "
                       "closed and their key no longer lets them draw, from any address. With "
                       "--revert its edits are undone in the same step, as revert --address (or "
                       "--author) does, sparing cells others changed after it. An address or "
                       "name that the history never saw connect is refused as a mistake."));
    const QCommandLineOption forOption(QStringLiteral("for"),
                                       QStringLiteral("Lift it after DURATION (90s, 10m, 2h, 3d)."),
                                       QStringLiteral("DURATION"));
    const QCommandLineOption revertOption(QStringLiteral("revert"),
                                          QStringLiteral("Also undo its edits."));
    const QCommandLineOption reasonOption(QStringLiteral("reason"),
                                          QStringLiteral("Why, for the bans listing."),
                                          QStringLiteral("TEXT"));
    command.parser.addOptions({addressOption, authorOption, forOption, revertOption, reasonOption});
    ControlClient::ModerationRequest request;
    request.change.kind = Moderation::Change::AddBan;
    Moderation::Ban &ban = request.change.ban;
    if (!command.open(arguments) || !command.target(&ban))
        return ExitFailed;
    ban.setBy = currentUser();
    ban.setMs = QDateTime::currentMSecsSinceEpoch();
    ban.reason = command.parser.value(reasonOption);
    if (command.parser.isSet(forOption)) {
        const std::optional<qint64> duration =
            Moderation::parseDuration(command.parser.value(forOption));
        if (!duration)
            return fail(QStringLiteral("--for needs a DURATION such as 90s, 10m, 2h or 3d, not "
                                       "\"%1\"")
                            .arg(command.parser.value(forOption)));
        ban.untilMs = ban.setMs + *duration;
    }
    const std::optional<bool> known = command.knows(ban);
    if (!known)
        return ExitFailed;
    if (!*known)
        return fail(ban.author.isEmpty()
                        ? QStringLiteral("%1 matches nobody: the history has no connection from it")
                              .arg(ban.subnet.toString())
                        : QStringLiteral("%1 matches nobody: the history has no connection of "
                                         "that name")
                              .arg(ban.target()));
    if (command.parser.isSet(revertOption)) {
        RecoveryPlanner planner(command.history());
        const std::optional<RecoveryPlanner::Span> span = planner.span(std::nullopt, std::nullopt);
        if (span) {
            RecoveryPlanner::Author author;
            author.name = ban.author;
            request.revert = ban.author.isEmpty() ? planner.revert(ban.subnet, *span)
                                                  : planner.revert(author, *span);
        }
        // An address or editor that connected but never edited is banned with nothing to undo.
        if (!request.revert &&
            !planner.errorString().endsWith(QLatin1String("no edits in that time")))
            return fail(planner.errorString());
        request.label = QStringLiteral("ban %1 by %2").arg(ban.target(), ban.setBy);
    }
    const QString until = ban.untilMs < 0
                              ? QStringLiteral("until lifted")
                              : QStringLiteral("until %1")
                                    .arg(QDateTime::fromMSecsSinceEpoch(ban.untilMs)
                                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    const bool nothingToRevert = command.parser.isSet(revertOption) && !request.revert;
    return command.carryOut(
        request,
        QStringLiteral("banned %1 %2%3")
            .arg(ban.target(), until,
                 nothingToRevert ? QStringLiteral("; it made no edits to revert") : QString()));
}

int unban(const QStringList &arguments)
{
    Invocation command(
        QStringLiteral("unban"),
        QStringLiteral("Lifts the ban on exactly the ADDRESS or block, or the author NAME, "
                       "given to ban."));
    command.parser.addOptions({addressOption, authorOption});
    ControlClient::ModerationRequest request;
    request.change.kind = Moderation::Change::RemoveBan;
    if (!command.open(arguments) || !command.target(&request.change.ban))
        return ExitFailed;
    return command.carryOut(request,
                            QStringLiteral("unbanned %1").arg(request.change.ban.target()));
}

int lock(const QStringList &arguments)
{
    Invocation command(
        QStringLiteral("lock"),
        QStringLiteral("Makes the whole picture (frame colours included), or --area, read-only "
                       "for every address but those --except names. Edits into it are refused; a "
                       "Clear clears only the cells no lock holds. Locking an area locked already "
                       "replaces its exceptions."));
    const QCommandLineOption exceptOption(
        QStringLiteral("except"),
        QStringLiteral("An address or block that may still edit it (repeat for more)."),
        QStringLiteral("ADDRESS"));
    command.parser.addOptions({areaOption, exceptOption});
    QRect area;
    if (!command.open(arguments) || !command.area(&area))
        return ExitFailed;
    ControlClient::ModerationRequest request;
    request.change.kind = Moderation::Change::AddLock;
    request.change.lock.area = area;
    request.change.lock.setBy = currentUser();
    request.change.lock.setMs = QDateTime::currentMSecsSinceEpoch();
    QStringList except;
    for (const QString &text : command.parser.values(exceptOption)) {
        QString problem;
        const std::optional<Subnet> subnet = Subnet::parse(text, &problem);
        if (!subnet)
            return fail(QStringLiteral("--except: %1").arg(problem));
        request.change.lock.except.append(*subnet);
        except.append(subnet->toString());
    }
    const QString what = area.isNull()
                             ? QStringLiteral("the whole picture")
                             : QStringLiteral("the area %1").arg(Moderation::areaText(area));
    return command.carryOut(
        request,
        QStringLiteral("locked %1%2")
            .arg(what,
                 except.isEmpty()
                     ? QString()
                     : QStringLiteral(" except for %1").arg(except.join(QStringLiteral(", ")))));
}

int unlock(const QStringList &arguments)
{
    Invocation command(QStringLiteral("unlock"),
                       QStringLiteral("Lifts the lock on exactly the --area given to lock, or "
                                      "without --area the lock on the whole picture."));
    command.parser.addOption(areaOption);
    QRect area;
    if (!command.open(arguments) || !command.area(&area))
        return ExitFailed;
    ControlClient::ModerationRequest request;
    request.change.kind = Moderation::Change::RemoveLock;
    request.change.lock.area = area;
    return command.carryOut(
        request, area.isNull()
                     ? QStringLiteral("unlocked the whole picture")
                     : QStringLiteral("unlocked the area %1").arg(Moderation::areaText(area)));
}

// bans and locks: the listing.
int list(const QStringList &arguments, bool bans)
{
    Invocation command(bans ? QStringLiteral("bans") : QStringLiteral("locks"),
                       bans ? QStringLiteral("Lists the bans in force: the address or block "
                                             "(or \"author NAME\"), who set it and when, "
                                             "until when, and why.")
                            : QStringLiteral("Lists the locks: the area (or the whole "
                                             "picture), who set it and when, and the addresses "
                                             "it excepts."));
    if (!command.open(arguments))
        return ExitFailed;
    std::optional<Moderation> kept = command.moderation();
    if (!kept)
        return ExitFailed;
    kept->dropExpired(QDateTime::currentMSecsSinceEpoch());
    std::fputs(qPrintable(bans ? kept->formatBans() : kept->formatLocks()), stdout);
    return ExitOk;
}

} // namespace

bool ModerationCommands::isCommand(const QString &argument)
{
    static const QStringList names = {QStringLiteral("ban"),    QStringLiteral("unban"),
                                      QStringLiteral("bans"),   QStringLiteral("lock"),
                                      QStringLiteral("unlock"), QStringLiteral("locks")};
    return names.contains(argument);
}

int ModerationCommands::run(const QStringList &arguments)
{
    const QString name = arguments.value(1);
    if (name == QLatin1String("ban"))
        return ban(arguments);
    if (name == QLatin1String("unban"))
        return unban(arguments);
    if (name == QLatin1String("lock"))
        return lock(arguments);
    if (name == QLatin1String("unlock"))
        return unlock(arguments);
    return list(arguments, name == QLatin1String("bans"));
}

QString ModerationCommands::summary()
{
    return QStringLiteral(
        "Commands that moderate the picture, kept with it and carried out by the running server\n"
        "at once (with --redis, by every server within a second):\n"
        "  celvane-server ban FILE (--address ADDRESS[/PREFIX] | --author NAME)\n"
        "                     [--for DURATION] [--revert] [--reason TEXT]\n"
        "  celvane-server unban FILE (--address ADDRESS[/PREFIX] | --author NAME)\n"
        "  celvane-server bans FILE\n"
        "  celvane-server lock FILE [--area X,Y,W,H] [--except ADDRESS[/PREFIX]]...\n"
        "  celvane-server unlock FILE [--area X,Y,W,H]\n"
        "  celvane-server locks FILE");
}
