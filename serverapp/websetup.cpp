#include "serverapp/websetup.h"

#include "journal/journalstore.h"
#include "recovery/timelapse.h"
#include "server/pictureserver.h"
#include "server/serverlogging.h"
#include "serverapp/exitstatus.h"
#include "serverapp/webmoderationsetup.h"
#include "web/webfrontend.h"
#include "web/webhistory.h"
#include "web/weboptions.h"

#include <QDateTime>

namespace {

// The page's slider and ?at= read the journal's kept past, with --at's reader of TIME, and
// /timelapse.gif is the timelapse command's GIF of the whole of it.
WebHistory journalHistory(JournalStore *journal)
{
    WebHistory history =
        webHistoryOf([journal] { return journal->history(); }, WebModerationSetup::timeParser());
    history.timelapse = [journal] {
        QString problem;
        const std::optional<QByteArray> gif =
            Timelapse::gif(journal->history(), Timelapse::Options(), &problem);
        if (!gif)
            qCWarning(lcServer).noquote() << "no time-lapse for the web page:" << problem;
        return gif.value_or(QByteArray());
    };
    return history;
}

} // namespace

std::unique_ptr<WebFrontEnd> WebSetup::start(PictureServer *server, JournalStore *journal,
                                             ControlServer *control, const WebEndpoint &endpoint,
                                             QHostAddress *address, int *status)
{
    *address = endpoint.address.isNull() ? server->serverAddress() : endpoint.address;
    auto web = std::make_unique<WebFrontEnd>(server);
    if (journal)
        web->setHistory(journalHistory(journal));
    web->setModeration(WebModerationSetup::hooks(server, journal, control, web.get()));
    if (!web->listen(*address, endpoint.port)) {
        *status = ExitStatus::fail(ExitStatus::Usage,
                                   QStringLiteral("cannot listen for --http on %1 port %2: %3")
                                       .arg(address->toString())
                                       .arg(endpoint.port)
                                       .arg(web->errorString()));
        return nullptr;
    }
    return web;
}
