#include "recovery/recoverycommands.h"

#include "journal/moment.h"
#include "options/optionset.h"
#include "recovery/controlclient.h"
#include "recovery/controlserver.h"
#include "recovery/historysource.h"
#include "recovery/moderationcommands.h"
#include "recovery/recoveryplanner.h"
#include "recovery/repairaction.h"
#include "recovery/timelapse.h"
#include "redis/redisoptions.h"
#include "redis/redispicturestore.h"
#include "server/moderation.h"
#include "server/picturefile.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QLockFile>
#include <QSaveFile>

#include <cstdio>
#include <functional>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;

int fail(const QString &message)
{
    std::fprintf(stderr, "celvane-server: %s\n", qPrintable(message));
    return ExitFailed;
}

void print(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

const QString timeHelp = QStringLiteral(
    "TIME is an ISO 8601 date and time (local time unless it ends in Z or an offset), a time of "
    "day today (14:05), or a span ago (90s, 10m, 2h, 3d).");

// Paragraphs folded at 79 columns, as the server's own --help is.
QString folded(const QString &text)
{
    QStringList paragraphs;
    for (const QString &paragraph : text.split(QStringLiteral("\n\n"))) {
        QString out;
        qsizetype lineLength = 0;
        for (const QString &word : paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (lineLength > 0 && lineLength + 1 + word.size() > 79) {
                out += QLatin1Char('\n');
                lineLength = 0;
            } else if (lineLength > 0) {
                out += QLatin1Char(' ');
                ++lineLength;
            }
            out += word;
            lineLength += word.size();
        }
        paragraphs.append(out);
    }
    return paragraphs.join(QStringLiteral("\n\n"));
}

using Source = RepairAction::Source;

// A parser for one subcommand: its name, its description and its FILE argument.
struct Command
{
    explicit Command(const QString &name, const QString &description)
    {
        parser.setApplicationDescription(folded(description + QStringLiteral("\n\n") + timeHelp));
        parser.addHelpOption();
        parser.addPositionalArgument(name, QStringLiteral("The command."), name);
        parser.addPositionalArgument(
            QStringLiteral("FILE"),
            QStringLiteral("The picture file (as given to --picture); or --redis in its place."));
        redisOptionSet().addTo(&parser);
    }

    // Parses; false, with the line printed, for anything it cannot take. --help exits here.
    // positionals counts FILE, which --redis takes the place of.
    bool parse(const QStringList &arguments, int positionals)
    {
        parser.process(arguments);
        QString problem;
        if (!redisOptionSet().read(parser, &redisValues, &problem)) {
            fail(problem);
            return false;
        }
        const bool redis = usesRedis(redisValues);
        if (parser.positionalArguments().size() != positionals - int(redis)) {
            fail(QStringLiteral("%1 takes %2%3; see %1 --help")
                     .arg(arguments.value(1), positionalsText,
                          redis ? QStringLiteral(" (with --redis in place of FILE)") : QString()));
            return false;
        }
        return true;
    }

    // The positional arguments after the command and FILE.
    QStringList rest() const
    {
        return parser.positionalArguments().mid(usesRedis(redisValues) ? 1 : 2);
    }

    // Where the picture is: FILE, settled as the server settles it so that both name the same
    // control socket, or Redis. False after saying what is wrong.
    bool source(Source *where)
    {
        if (!usesRedis(redisValues)) {
            PictureFile file(parser.positionalArguments().at(1));
            if (!file.settle()) {
                fail(file.errorString());
                return false;
            }
            where->path = file.path();
            return true;
        }
        QString error;
        where->redis = RedisPictureStore::Settings();
        if (!redisSettingsFrom(redisValues, &*where->redis, &error)) {
            fail(error);
            return false;
        }
        return true;
    }

    // The moment an option names, if it is given; false after saying what is wrong with it.
    bool moment(const QCommandLineOption &option, std::optional<qint64> *ms)
    {
        if (!parser.isSet(option))
            return true;
        *ms = parseMoment(parser.value(option), QDateTime::currentDateTime());
        if (!*ms) {
            fail(QStringLiteral("--%1 needs a TIME such as 2026-12-07T14:05, 14:05 or 10m, not "
                                "\"%2\"")
                     .arg(option.names().constFirst(), parser.value(option)));
            return false;
        }
        return true;
    }

    QCommandLineParser parser;
    OptionValues redisValues;
    QString positionalsText = QStringLiteral("one FILE");
};

const QCommandLineOption sinceOption(QStringLiteral("since"),
                                     QStringLiteral("Only edits after TIME (default: all kept)."),
                                     QStringLiteral("TIME"));
const QCommandLineOption untilOption(QStringLiteral("until"),
                                     QStringLiteral("Only edits up to TIME (default: the newest)."),
                                     QStringLiteral("TIME"));

std::unique_ptr<PictureHistory> openHistory(const Source &source)
{
    QString problem;
    std::unique_ptr<PictureHistory> history = RepairAction::openHistory(source, &problem);
    if (!history)
        fail(problem);
    return history;
}

const QCommandLineOption areaOption(
    QStringLiteral("area"),
    QStringLiteral("Change only the cells in this rectangle, in cells from the top left; the "
                   "frame colours are left as they are."),
    QStringLiteral("X,Y,W,H"));
const QCommandLineOption dryRunOption(
    QStringLiteral("dry-run"),
    QStringLiteral("Change nothing: print how many cells and frame colours would change and "
                   "whose work that would undo (connection, address, cells)."));
const QCommandLineOption previewOption(
    QStringLiteral("preview"),
    QStringLiteral("With --dry-run: write the picture as it would then stand to OUT.png, drawn "
                   "as --export-png draws it."),
    QStringLiteral("OUT.png"));

const QCommandLineOption authorOption(
    QStringLiteral("author"),
    QStringLiteral("Every connection of the editor NAME (a web page opened with that editor's "
                   "key)."),
    QStringLiteral("NAME"));

// The name --author gives, empty without it; false after saying what is wrong with it.
bool authorName(const QCommandLineParser &parser, QString *name)
{
    if (!parser.isSet(authorOption))
        return true;
    QString problem;
    if (!Moderation::checkAuthorName(parser.value(authorOption), &problem)) {
        fail(problem);
        return false;
    }
    *name = parser.value(authorOption);
    return true;
}

// The options every repair takes; false after saying what is wrong with them.
bool repairOptions(const QCommandLineParser &parser, RepairAction *action)
{
    action->dryRun = parser.isSet(dryRunOption);
    action->previewPath = parser.value(previewOption);
    if (parser.isSet(previewOption) && !action->dryRun) {
        fail(QStringLiteral("--preview needs --dry-run: a repair carried out is seen in every "
                            "window, and --export-png draws it"));
        return false;
    }
    if (parser.isSet(areaOption)) {
        QString problem;
        const std::optional<QRect> area =
            RepairAction::parseArea(parser.value(areaOption), &problem);
        if (!area) {
            fail(problem);
            return false;
        }
        action->area = *area;
    }
    return true;
}

// The moment as labels show it.
QString momentText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

int change(const Source &source, RepairAction action, const RepairAction::Plan &plan)
{
    if (!action.area.isNull())
        action.label += QStringLiteral(" in ") + RepairAction::areaText(action.area);
    action.label += QStringLiteral(" by ") + RepairAction::userName();
    QString problem;
    const std::optional<QString> text = action.run(source, plan, &problem);
    if (!text)
        return fail(problem);
    print(*text);
    return ExitOk;
}

int history(const QStringList &arguments)
{
    Command command(QStringLiteral("history"),
                    QStringLiteral("Prints one line per connection that edited the picture: its "
                                   "number, address, editor's name (\"-\" for none) and port, "
                                   "when it connected and left, how many edits it made and when "
                                   "the first and last were; then a total line."));
    const QCommandLineOption addressOption(QStringLiteral("address"),
                                           QStringLiteral("Only connections from ADDRESS."),
                                           QStringLiteral("ADDRESS"));
    command.parser.addOptions({sinceOption, untilOption, addressOption, authorOption});
    std::optional<qint64> since;
    std::optional<qint64> until;
    Source source;
    RecoveryPlanner::Filter filter;
    if (!command.parse(arguments, 2) || !command.moment(sinceOption, &since) ||
        !command.moment(untilOption, &until) || !authorName(command.parser, &filter.name) ||
        !command.source(&source))
        return ExitFailed;
    filter.address = command.parser.value(addressOption);
    const std::unique_ptr<PictureHistory> kept = openHistory(source);
    if (!kept)
        return ExitFailed;
    RecoveryPlanner planner(kept.get());
    const std::optional<RecoveryPlanner::Span> span = planner.span(since, until);
    if (!span)
        return fail(planner.errorString());
    const auto summary = planner.summary(*span, filter);
    if (!summary)
        return fail(planner.errorString());
    print(RecoveryPlanner::formatSummary(*summary));
    return ExitOk;
}

int revert(const QStringList &arguments)
{
    Command command(
        QStringLiteral("revert"),
        QStringLiteral("Undoes one author's edits that nobody built on: every cell and frame "
                       "colour whose latest change came from the author goes back to what it "
                       "held before the author's last run of changes to it. Cells anyone else "
                       "changed after the author stay as they are, and so do the author's own "
                       "edits after --until. Give --address, --author (every connection of that "
                       "editor) or --connection (a number from the history command; every "
                       "revert and restore has one of its own, so each can be undone alone)."));
    const QCommandLineOption addressOption(QStringLiteral("address"),
                                           QStringLiteral("Every connection from ADDRESS."),
                                           QStringLiteral("ADDRESS"));
    const QCommandLineOption connectionOption(QStringLiteral("connection"),
                                              QStringLiteral("One connection, by its number."),
                                              QStringLiteral("N"));
    command.parser.addOptions({addressOption, authorOption, connectionOption, sinceOption,
                               untilOption, areaOption, dryRunOption, previewOption});
    std::optional<qint64> since;
    std::optional<qint64> until;
    Source source;
    RepairAction action;
    if (!command.parse(arguments, 2) || !command.moment(sinceOption, &since) ||
        !command.moment(untilOption, &until) || !repairOptions(command.parser, &action))
        return ExitFailed;
    if (int(command.parser.isSet(addressOption)) + int(command.parser.isSet(authorOption)) +
            int(command.parser.isSet(connectionOption)) !=
        1)
        return fail(QStringLiteral("revert needs one of --address, --author or --connection"));
    if (since && until && *until < *since)
        return fail(QStringLiteral("--until %1 is before --since %2")
                        .arg(momentText(*until), momentText(*since)));
    RecoveryPlanner::Author author;
    author.address = command.parser.value(addressOption);
    if (!authorName(command.parser, &author.name))
        return ExitFailed;
    if (command.parser.isSet(connectionOption)) {
        bool ok = false;
        author.connection = command.parser.value(connectionOption).toULongLong(&ok);
        if (!ok || author.connection == 0)
            return fail(QStringLiteral("--connection needs a connection number"));
    }
    if (!command.source(&source))
        return ExitFailed;
    const QString who = author.text();
    action.what = QStringLiteral("reverted %1").arg(who);
    action.label = QStringLiteral("revert %1").arg(who);
    if (since)
        action.label += QStringLiteral(" since ") + momentText(*since);
    if (until)
        action.label += QStringLiteral(" until ") + momentText(*until);
    return change(source, action, [&](RecoveryPlanner &planner) -> std::optional<PictureChange> {
        const auto span = planner.span(since, until);
        if (!span)
            return std::nullopt;
        return planner.revert(author, *span);
    });
}

int restore(const QStringList &arguments)
{
    Command command(QStringLiteral("restore"),
                    QStringLiteral("Makes the picture as it stood at TIME the current picture. "
                                   "It is a new edit on top of the history, which keeps "
                                   "everything, so it can itself be reverted or restored past."));
    const QCommandLineOption atOption(
        QStringLiteral("at"), QStringLiteral("The moment to go back to."), QStringLiteral("TIME"));
    command.parser.addOptions({atOption, areaOption, dryRunOption, previewOption});
    std::optional<qint64> at;
    Source source;
    RepairAction action;
    if (!command.parse(arguments, 2) || !command.moment(atOption, &at) ||
        !repairOptions(command.parser, &action))
        return ExitFailed;
    if (!at)
        return fail(QStringLiteral("restore needs --at TIME"));
    if (!command.source(&source))
        return ExitFailed;
    const QString when = QDateTime::fromMSecsSinceEpoch(*at).toString(Qt::ISODate);
    action.what = QStringLiteral("restored the picture of %1").arg(when);
    action.label = QStringLiteral("restore %1").arg(momentText(*at));
    return change(source, action, [&](RecoveryPlanner &planner) { return planner.restore(*at); });
}

int timelapse(const QStringList &arguments)
{
    Command command(QStringLiteral("timelapse"),
                    QStringLiteral("Writes an animated GIF of the picture growing, each frame "
                                   "drawn as Celvane shows the picture, frames evenly spaced by "
                                   "edits (ten a second, at most one per edit), the last held "
                                   "for a second."));
    command.parser.addPositionalArgument(QStringLiteral("OUT.gif"),
                                         QStringLiteral("The GIF file to write."));
    command.positionalsText = QStringLiteral("FILE and OUT.gif");
    const QCommandLineOption durationOption(
        QStringLiteral("duration"),
        QStringLiteral("Seconds the growing takes (%1), the last frame's second not counted.")
            .arg(Timelapse::DefaultDurationMs / 1000),
        QStringLiteral("SECONDS"));
    const QCommandLineOption sizeOption(QStringLiteral("size"),
                                        QStringLiteral("Size of the frames (%1x%2).")
                                            .arg(PictureRenderer::DefaultSize.width())
                                            .arg(PictureRenderer::DefaultSize.height()),
                                        QStringLiteral("WxH"));
    command.parser.addOptions({sinceOption, untilOption, durationOption, sizeOption});
    Timelapse::Options options;
    Source source;
    if (!command.parse(arguments, 3) || !command.moment(sinceOption, &options.sinceMs) ||
        !command.moment(untilOption, &options.untilMs))
        return ExitFailed;
    if (command.parser.isSet(durationOption)) {
        bool ok = false;
        const double seconds = command.parser.value(durationOption).toDouble(&ok);
        if (!ok || seconds < 0.1 || seconds > 3600)
            return fail(QStringLiteral("--duration needs a number of seconds, 0.1 to 3600"));
        options.durationMs = int(seconds * 1000 + 0.5);
    }
    if (command.parser.isSet(sizeOption)) {
        const QStringList parts = command.parser.value(sizeOption).split(QLatin1Char('x'));
        bool okWidth = false;
        bool okHeight = false;
        const int width = parts.value(0).toInt(&okWidth);
        const int height = parts.size() == 2 ? parts.at(1).toInt(&okHeight) : 0;
        if (!okWidth || !okHeight || width < 1 || height < 1 || width > 4096 || height > 4096)
            return fail(QStringLiteral("--size needs WIDTHxHEIGHT, each 1 to 4096"));
        options.size = QSize(width, height);
    }
    if (!command.source(&source))
        return ExitFailed;
    const std::unique_ptr<PictureHistory> kept = openHistory(source);
    if (!kept)
        return ExitFailed;
    QString problem;
    const std::optional<QByteArray> gif = Timelapse::gif(kept.get(), options, &problem);
    if (!gif)
        return fail(problem);
    const QString out = command.rest().at(0);
    QSaveFile file(out);
    if (!file.open(QIODevice::WriteOnly) || file.write(*gif) != gif->size() || !file.commit())
        return fail(QStringLiteral("%1: cannot write the GIF: %2").arg(out, file.errorString()));
    return ExitOk;
}

// Has the server running on FILE read its configuration file again, through the control socket.
int reload(const QStringList &arguments)
{
    Command command(
        QStringLiteral("reload"),
        QStringLiteral("Has the server running on FILE read its configuration file (--config) "
                       "again and apply what may change while it runs: the allow list, "
                       "read-only, the limits, the timeouts and --verbose. Prints what changed; "
                       "a file with any error changes nothing. A server on Redis has no control "
                       "socket: send it SIGHUP instead (systemctl reload)."));
    Source source;
    if (!command.parse(arguments, 2) || !command.source(&source))
        return ExitFailed;
    if (source.redis)
        return fail(QStringLiteral("a server on Redis has no control socket to ask: send SIGHUP "
                                   "to each server on the key (systemctl reload celvane-server, "
                                   "or kill -HUP PID)"));
    const QString socketPath = ControlServer::socketPath(source.path);
    QString problem;
    if (!ControlClient::checkOwner(socketPath, &problem))
        return fail(problem);
    QLockFile lock(source.path + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return fail(QStringLiteral("no server is running on %1").arg(source.path));
    const std::optional<ControlClient::Reply> reply =
        ControlClient::send(socketPath, ControlClient::reloadRequest(), &problem);
    if (!reply)
        return fail(problem);
    if (!reply->ok)
        return fail(QStringLiteral("the server refused: %1").arg(reply->message));
    print(reply->message + QLatin1Char('\n'));
    return ExitOk;
}

} // namespace

bool RecoveryCommands::isCommand(const QString &argument)
{
    return argument == QLatin1String("history") || argument == QLatin1String("revert") ||
           argument == QLatin1String("restore") || argument == QLatin1String("timelapse") ||
           argument == QLatin1String("reload") || ModerationCommands::isCommand(argument);
}

int RecoveryCommands::run(const QStringList &arguments)
{
    const QString name = arguments.value(1);
    if (name == QLatin1String("history"))
        return history(arguments);
    if (name == QLatin1String("revert"))
        return revert(arguments);
    if (name == QLatin1String("restore"))
        return restore(arguments);
    if (name == QLatin1String("timelapse"))
        return timelapse(arguments);
    if (name == QLatin1String("reload"))
        return reload(arguments);
    if (ModerationCommands::isCommand(name))
        return ModerationCommands::run(arguments);
    return fail(QStringLiteral("no command \"%1\"").arg(name));
}

QString RecoveryCommands::summary()
{
    const QString repairs = QStringLiteral(
        "Commands that read the picture's kept history (FILE.history) and repair the picture\n"
        "from it, each with its own --help:\n"
        "  celvane-server history FILE [--since TIME] [--until TIME] [--address ADDRESS]\n"
        "                         [--author NAME]\n"
        "  celvane-server revert FILE (--address ADDRESS | --author NAME | --connection N)\n"
        "                        [--since TIME] [--until TIME] [--area X,Y,W,H]\n"
        "                        [--dry-run [--preview OUT.png]]\n"
        "  celvane-server restore FILE --at TIME [--area X,Y,W,H]\n"
        "                         [--dry-run [--preview OUT.png]]\n"
        "  celvane-server timelapse FILE OUT.gif [--since TIME] [--until TIME]\n"
        "                           [--duration SECONDS] [--size WxH]\n"
        "  celvane-server reload FILE\n"
        "revert and restore are carried out by the server running on FILE, through its control\n"
        "socket FILE.control (its own user and root only), so every window shows them at once;\n"
        "with no server running they change the files themselves. Each is recorded under a\n"
        "connection of its own, named for it in history's LABEL column, so that\n"
        "revert --connection N undoes that one repair alone. Each takes\n"
        "--redis HOST:PORT [--redis-key NAME] [--redis-password-file FILE] in place of FILE for\n"
        "a picture kept in Redis (or --redis-sentinel HOST:PORT,... --redis-master NAME in place\n"
        "of --redis): revert and restore then go through Redis like any edit, and every server\n"
        "serving the picture relays them. reload has the server running on FILE read its\n"
        "--config file again (as SIGHUP does) and prints what changed.\n\n");
    return repairs + ModerationCommands::summary();
}
