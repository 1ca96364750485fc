#include "serverapp/serverconfiguration.h"

#include "journal/journaloptions.h"
#include "recovery/recoverycommands.h"
#include "redis/redisoptions.h"
#include "server/serveroptions.h"
#include "serverapp/entryoptions.h"
#include "serverapp/exitstatus.h"
#include "web/weboptions.h"

#include <QCommandLineParser>

namespace {

const char descriptionText[] =
    "Serves one cell-grid picture to Celvane clients over TCP.\n"
    "\n"
    "A Hello is answered with the whole picture (at most once a second per client); edits\n"
    "(clear, frame colours, cells, rows) change it. Edits are shared live: each edit applied is\n"
    "sent on at once to every client that has the picture, its sender included, so every\n"
    "window shows the same picture. Messages that cannot be applied are ignored and not sent\n"
    "on; the first few of each client are logged, and a client that sends many is\n"
    "disconnected, as is one that does not read what is sent to it.\n"
    "\n"
    "With --picture, the picture is read from FILE if it exists, and its own format is served\n"
    "whatever --format says; edits are written back about once a second and on SIGINT or\n"
    "SIGTERM. A file that is not a Celvane picture file is refused and left alone.\n"
    "\n"
    "Only one server uses a picture file at a time (FILE.lock beside it). A save that fails\n"
    "leaves the previous picture in FILE and is tried again at the next edit.\n"
    "\n"
    "Every edit is also kept in a journal beside the picture, FILE.history (an SQLite\n"
    "database; see the manual page for how to read it): when it was made, from which\n"
    "connection, and the picture as a whole at intervals. An edit is written to it before any\n"
    "client is shown it, so a crash of the server loses nothing anyone saw, and it is synced\n"
    "to the disk at most 200 ms later, so a power cut loses at most that much; the next\n"
    "start brings FILE up to date from it. It keeps --history-keep days of edits and at\n"
    "most --history-max-size bytes; older edits fold into the picture as it then stood.\n"
    "A journal that cannot be written is logged and the picture is served and saved as ever;\n"
    "one that is damaged or not a Celvane journal is refused. --export-png with --at\n"
    "exports the picture as it stood at a kept moment.\n"
    "\n"
    "With --redis, the picture lives in Redis instead, and any number of servers started with\n"
    "the same Redis and --redis-key serve it together: every edit goes through Redis, and every\n"
    "window on every server sees every edit in the same order. A key that does not exist yet is\n"
    "created from --format and --demo. While Redis cannot be reached the server closes its\n"
    "clients and turns new ones away, and serves again once it is back. The edits are kept in\n"
    "Redis as the history, within --history-keep and --history-max-size.\n"
    "With --redis-sentinel and --redis-master in place of --redis, the primary is the one the\n"
    "Sentinels name, and a failover is followed: the clients are kept while Sentinel promotes\n"
    "a replica, then sent its picture afresh. --redis-replicas N relays an edit only once N\n"
    "replicas hold it, so that a failover loses nothing anyone was shown.\n"
    "\n"
    "Each connection may have at most --max-edits-per-second edits applied (twice that at\n"
    "once); beyond that the server reads no more from it until its allowance returns, so the\n"
    "sender is slowed down and nothing is refused.\n"
    "\n"
    "Anyone who can reach the port may edit the picture: listen on loopback (the default),\n"
    "or limit who may connect with --allow, or serve it unchanged with --read-only.\n"
    "\n"
    "With --config FILE, options are also read from FILE: one NAME = VALUE a line, NAME being\n"
    "a long option's name (port = 3000; allow = 127.0.0.0/8, on as many lines as needed;\n"
    "read-only = yes), with # comments. The command line wins over the file. On SIGHUP, or\n"
    "\"celvane-server reload FILE\" with FILE the picture file, the server reads the\n"
    "configuration file again and, if all of it is right, applies at once the allow list,\n"
    "read-only, the limits, the timeouts and --verbose, keeping every connection still\n"
    "allowed; the other options need a restart.\n"
    "\n"
    "When ready the server prints one line, \"listening on ADDRESS:PORT\", to standard output.\n"
    "Exit status: 0 on a clean stop, 1 for a bad option, an address it cannot listen on or a\n"
    "moment that is not kept, 2 for a configuration file with an error, or a picture file,\n"
    "journal or Redis key that is refused, in use or cannot be written, including a stop whose\n"
    "last save failed.";

const char fileHeading[] =
    "# celvane-server's configuration, read with --config: one NAME = VALUE a line, NAME\n"
    "# being a long option's name (see celvane-server --help and celvane-server(1)). An\n"
    "# option that may be given several times takes several lines; a flag is NAME = yes.\n"
    "# The command line wins over this file. The options marked (reloaded) change on\n"
    "# \"systemctl reload\" (SIGHUP) while every connection stays open; the others need a\n"
    "# restart. Every option is shown commented out at its default.\n";

const QString configName = QStringLiteral("config");

} // namespace

ServerConfiguration::ServerConfiguration()
{
    for (const OptionTable &table :
         {serverOptionTable(), journalOptionTable(), redisOptionTable(), webOptionTable()}) {
        m_fileOptions.add(table);
        m_allOptions.add(table);
    }
    m_allOptions.add(entryOptionTable());
}

bool ServerConfiguration::read(const QStringList &arguments, int *status, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(descriptionText) + QStringLiteral("\n\n") +
                                     RecoveryCommands::summary());
    parser.addHelpOption();
    parser.addVersionOption();
    m_allOptions.addTo(&parser);
    parser.process(arguments);
    if (!m_allOptions.read(parser, &m_commandLine, error)) {
        *status = ExitStatus::Usage;
        return false;
    }
    m_configPath = m_commandLine.text(configName);
    if (!reread(&m_values, error)) {
        *status = ExitStatus::PictureFile;
        return false;
    }
    return true;
}

bool ServerConfiguration::reread(OptionValues *values, QString *error) const
{
    OptionValues file;
    if (!m_configPath.isEmpty() && !m_fileOptions.readFile(m_configPath, &file, error))
        return false;
    *values = m_allOptions.resolve(file, m_commandLine);
    return true;
}

QByteArray ServerConfiguration::fileTemplate() const
{
    return m_fileOptions.fileTemplate(QString::fromLatin1(fileHeading));
}

QString ServerConfiguration::description()
{
    return QString::fromLatin1(descriptionText);
}
