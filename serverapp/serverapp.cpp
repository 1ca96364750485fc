#include "serverapp/serverapp.h"

#include "recovery/controlclient.h"
#include "recovery/controlserver.h"
#include "recovery/recoverycommands.h"
#include "redis/redisoptions.h"
#include "server/picturesaver.h"
#include "server/pictureserver.h"
#include "server/serverlogging.h"
#include "server/signalwatcher.h"
#include "serverapp/exitstatus.h"
#include "serverapp/liveoptions.h"
#include "serverapp/pictureexport.h"
#include "serverapp/reloader.h"
#include "serverapp/websetup.h"
#include "service/journallog.h"
#include "service/servicenotifier.h"
#include "web/webfrontend.h"
#include "web/webkeys.h"
#include "web/weboptions.h"

#include <QCoreApplication>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

using ExitStatus::fail;

namespace {

// Raises the soft limit on open descriptors to the hard one, as daemons do: each client holds
// one, and the soft limit is often a tenth of what the system would allow. Returns the limit now
// in force, or 0 when there is none to speak of.
quint64 raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 0 : quint64(limit.rlim_cur);
}

QString shownAddress(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]").arg(address.toString())
               : address.toString();
}

bool isLoopback(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).isLoopback() : address.isLoopback();
}

} // namespace

int ServerApp::run(int argc, char *argv[])
{
    JournalLog::install();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("celvane-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CELVANE_VERSION));
    if (argc > 1 && RecoveryCommands::isCommand(QString::fromLocal8Bit(argv[1])))
        return RecoveryCommands::run(QCoreApplication::arguments());
    ServerApp server;
    const int status = server.start(QCoreApplication::arguments());
    if (status != Serving)
        return status;
    QCoreApplication::exec();
    server.logCounters();
    return server.m_status;
}

ServerApp::ServerApp() = default;
ServerApp::~ServerApp() = default;

int ServerApp::start(const QStringList &arguments)
{
    int status = ExitStatus::Ok;
    QString error;
    if (!m_configuration.read(arguments, &status, &error))
        return fail(status, error);
    const OptionValues &values = m_configuration.values();
    LiveOptions::setVerbose(values.isSet("verbose"));
    if (const int refused = checkOptions())
        return refused;
    if (values.isSet("export-png"))
        return PictureExport::run(values);
    if (const int refused = m_home.open(values))
        return refused;
    m_server = m_home.store() ? std::make_unique<PictureServer>(m_home.store())
                              : std::make_unique<PictureServer>(m_home.picture());
    if (const int refused = listen())
        return refused;
    // The control socket's server carries out the moderation API's changes too, with or without
    // a socket to listen on.
    m_control = new ControlServer(m_server->store(), m_server.get());
    // The web side first, so that its live options are put in place with the others.
    if (values.isSet("http")) {
        m_web = WebSetup::start(m_server.get(), m_home.journal(), m_control,
                                values.value("http").value<WebEndpoint>(), &m_webAddress, &status);
        if (!m_web)
            return status;
    }
    applyLiveOptions();
    logRoom();
    startSaving();
    startControl();
    watchSignals();
    announce();
    return Serving;
}

// What no single option's parser can see: options that need or exclude each other.
int ServerApp::checkOptions()
{
    const OptionValues &values = m_configuration.values();
    m_descriptorLimit = raiseDescriptorLimit();
    if (values.isSet("at") &&
        (!values.isSet("export-png") || (!values.isSet("picture") && !usesRedis(values))))
        return fail(ExitStatus::Usage,
                    QStringLiteral("--at needs --export-png and --picture or --redis"));
    // A socket handed over by the service manager takes the place of --listen and --port.
    if (!m_activation.take())
        return fail(ExitStatus::Usage, m_activation.errorString());
    if (usesRedis(values) && values.isSet("picture"))
        return fail(ExitStatus::Usage, QStringLiteral("--picture and --redis exclude each other"));
    // Refused at start; a reload that finds it refused keeps the keys it has (see LiveOptions).
    if (values.isSet("web-keys")) {
        QString problem;
        if (!WebKeys::load(values.value("web-keys").toString(), &problem))
            return fail(ExitStatus::PictureFile, QStringLiteral("--web-keys: %1").arg(problem));
    }
    return ExitStatus::Ok;
}

int ServerApp::listen()
{
    const OptionValues &values = m_configuration.values();
    if (m_activation.descriptor() >= 0) {
        if (values.isSet("listen") || values.isSet("port"))
            qWarning("celvane-server: --listen and --port are ignored: the service manager "
                     "handed over the socket to listen on");
        if (!m_server->listenOn(m_activation.descriptor()))
            return fail(ExitStatus::Usage, QStringLiteral("cannot listen on the socket the "
                                                          "service manager handed over: %1")
                                               .arg(m_server->errorString()));
        return ExitStatus::Ok;
    }
    const QHostAddress address = values.value("listen").value<QHostAddress>();
    const int port = values.value("port").toInt();
    if (!m_server->listen(address, quint16(port)))
        return fail(ExitStatus::Usage, QStringLiteral("cannot listen on %1 port %2: %3")
                                           .arg(address.toString())
                                           .arg(port)
                                           .arg(m_server->errorString()));
    return ExitStatus::Ok;
}

// Every option a reload may change is put in place the way a reload puts it, so that the two
// cannot differ.
void ServerApp::applyLiveOptions()
{
    m_live = std::make_unique<LiveOptions>(m_server.get(), m_web.get());
    for (const Option &option : m_configuration.fileOptions().options()) {
        if (option.change == Option::Live)
            m_live->apply(option.name, m_configuration.values());
    }
    m_reloader = std::make_unique<Reloader>(&m_configuration, m_live.get());
}

void ServerApp::logRoom() const
{
    const int room = qMin(m_server->maxClients(), PictureServer::clientDescriptorBudget());
    qCInfo(lcServer).noquote()
        << QStringLiteral("room for %1 clients (--max-clients %2; %3)")
               .arg(room)
               .arg(m_server->maxClients())
               .arg(m_descriptorLimit > 0
                        ? QStringLiteral("descriptor limit %1").arg(m_descriptorLimit)
                        : QStringLiteral("no descriptor limit"));
}

void ServerApp::startSaving()
{
    JournalStore *journal = m_home.journal();
    m_saver = journal ? journal->saver() : nullptr;
    if (!m_home.picturePath().isEmpty() && !journal) {
        m_saver = new PictureSaver(m_home.picturePath(), &m_server->picture(), m_server.get());
        QObject::connect(m_server.get(), &PictureServer::pictureChanged, m_saver,
                         &PictureSaver::scheduleSave);
    }
}

// revert, restore and reload reach the running server through the control socket beside the
// picture file. The journal records each repair under a connection of its own and saves the
// picture after it itself.
void ServerApp::startControl()
{
    const QString picturePath = m_home.picturePath();
    if (picturePath.isEmpty())
        return;
    JournalStore *journal = m_home.journal();
    ControlServer *control = m_control;
    control->setReloadHandler([this] {
        const Reloader::Result result = m_reloader->reload();
        ControlClient::Reply reply;
        reply.ok = result.ok;
        reply.message = result.summary;
        return ControlClient::encodeReply(reply);
    });
    if (!journal)
        QObject::connect(control, &ControlServer::changed, m_saver, &PictureSaver::scheduleSave);
    const QString controlPath = ControlServer::socketPath(picturePath);
    if (!control->listen(controlPath))
        qCWarning(lcServer).noquote()
            << "cannot listen on the control socket" << controlPath << ":" << control->errorString()
            << "; revert, restore and reload need SIGHUP or the server "
            << "stopped";
}

void ServerApp::watchSignals()
{
    m_signals = std::make_unique<SignalWatcher>();
    QObject::connect(m_signals.get(), &SignalWatcher::terminationRequested, qApp,
                     [this] { stop(); });
    QObject::connect(m_signals.get(), &SignalWatcher::reloadRequested, qApp,
                     [this] { m_reloader->reload(); });
}

void ServerApp::stop()
{
    ServiceNotifier::stopping();
    JournalStore *journal = m_home.journal();
    // The journal's last batch is committed beside the last save.
    if (m_saver && !(journal ? journal->finish() : m_saver->saveNow())) {
        m_status = ExitStatus::PictureFile;
        qCritical("celvane-server: stopping with edits that could not be saved; %s keeps the "
                  "last picture that was",
                  qPrintable(m_home.picturePath()));
    }
    QCoreApplication::exit(m_status);
}

void ServerApp::announce() const
{
    const OptionValues &values = m_configuration.values();
    const bool allowList = values.isSet("allow");
    const QHostAddress listening = m_server->serverAddress();
    if (m_web && !isLoopback(m_webAddress))
        qWarning("celvane-server: warning: serving the web page on %s, not loopback: anyone who "
                 "can reach it may watch the picture%s",
                 qPrintable(shownAddress(m_webAddress)),
                 allowList ? " from --allow" : " (see --allow)");
    if (!isLoopback(listening))
        qWarning("celvane-server: warning: listening on %s, not loopback: anyone who can reach "
                 "it may %s the picture%s",
                 qPrintable(shownAddress(listening)), values.isSet("read-only") ? "see" : "edit",
                 allowList ? " from --allow" : " (see --allow and --read-only)");
    std::printf("listening on %s:%u\n", qPrintable(shownAddress(listening)),
                unsigned(m_server->serverPort()));
    if (m_web)
        std::printf("web page at http://%s:%u/\n", qPrintable(shownAddress(m_webAddress)),
                    unsigned(m_web->serverPort()));
    std::fflush(stdout);
    ServiceNotifier::ready(QStringLiteral("Serving on %1:%2")
                               .arg(shownAddress(listening))
                               .arg(m_server->serverPort()));
}

void ServerApp::logCounters() const
{
    const PictureServer::Counters &counters = m_server->counters();
    qCInfo(lcServer).noquote() << "stopped after" << counters.messages
                               << "messages:" << counters.applied << "edits applied,"
                               << counters.refused << "refused," << counters.clientsTurnedAway
                               << "clients turned away," << counters.clientsDropped << "dropped";
}
