#include "web/webfrontend.h"

#include "model/canvasformat.h"
#include "painting/cellpainting.h"
#include "server/picturerenderer.h"
#include "server/pictureserver.h"
#include "web/httprequest.h"
#include "web/webapi.h"
#include "web/webviewer.h"

#include <QBuffer>
#include <QFile>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

Q_LOGGING_CATEGORY(lcWeb, "celvane.web", QtWarningMsg)

namespace {

struct StaticFile
{
    const char *path;
    const char *resource;
    const char *contentType;
};

// The page and everything it loads; nothing comes from anywhere else.
constexpr StaticFile staticFiles[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8"},
    {"/live.js", ":/web/live.js", "text/javascript; charset=utf-8"},
    {"/editor.js", ":/web/editor.js", "text/javascript; charset=utf-8"},
    {"/moderator.js", ":/web/moderator.js", "text/javascript; charset=utf-8"},
    {"/style.css", ":/web/style.css", "text/css; charset=utf-8"},
};

// The routes that take a request body, and the most of it each takes. Any other request with a
// body is refused before the body is read.
struct BodyRoute
{
    const char *method;
    const char *path;
    qint64 maxBytes;
};

constexpr BodyRoute bodyRoutes[] = {
    {"POST", "/import", WebImport::MaxFileBytes},
};

qint64 bodyBound(const HttpRequest &head)
{
    if (const qsizetype bound = WebApi::maxBody(head.method, head.path))
        return bound;
    for (const BodyRoute &route : bodyRoutes)
        if (head.method == route.method && head.path == route.path)
            return route.maxBytes;
    return -1;
}

// The reasons PictureServer drops clients for, listed even while their count is 0 so that a rate
// over them starts from the first drop.
constexpr const char *dropReasons[] = {"hello_timeout",   "stalled",           "slow_reader",
                                       "misbehaving",     "viewer_sent_other", "flooding",
                                       "key_not_accepted"};

void metricFamily(QByteArray *out, const char *name, const char *type, const char *help)
{
    *out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void metric(QByteArray *out, const char *name, const char *type, const char *help, double value)
{
    metricFamily(out, name, type, help);
    *out += QByteArray(name) + ' ' + QByteArray::number(value, 'g', 17) + '\n';
}

// The format table as the page draws from it: the program's own, so the two cannot disagree.
QByteArray formatsJson()
{
    QByteArray json =
        "{\"noPictureColor\":\"" + noPictureColor.name().toLatin1() + "\",\"formats\":[";
    const QList<CanvasFormat *> &formats = canvasFormats();
    for (qsizetype number = 0; number < formats.size(); ++number) {
        const CanvasFormat &format = *formats.at(number);
        // Nine significant digits give back the very float the page rounds to.
        json += QByteArray(number > 0 ? "," : "") + "{\"rows\":" + QByteArray::number(format.rows) +
                ",\"columns\":" + QByteArray::number(format.columns) +
                ",\"cellAspect\":" + QByteArray::number(double(format.cellAspect), 'g', 9) +
                ",\"rowGap\":" + (format.rowGap ? "true" : "false") + ",\"palette\":[";
        for (qsizetype index = 0; index < format.palette.size(); ++index)
            json += QByteArray(index > 0 ? "," : "") + '"' +
                    format.palette.at(index).name().toLatin1() + '"';
        json += "]}";
    }
    return json + "]}\n";
}

} // namespace

struct WebFrontEnd::Connection
{
    QTcpSocket *socket = nullptr;
    QTimer *timer = nullptr;
    QHostAddress address;
    QByteArray host;         // the last request's Host header, for the answer's security policy
    qint64 awaitedBytes = 0; // a request whose body is on its way takes this many bytes
    bool closing = false;
};

WebFrontEnd::WebFrontEnd(PictureServer *server, QObject *parent)
    : QObject(parent)
    , m_server(server)
    , m_listener(new QTcpServer(this))
    , m_webSockets(new QWebSocketServer(QStringLiteral("celvane-server"),
                                        QWebSocketServer::NonSecureMode, this))
    , m_api(std::make_unique<WebApi>([this] { return m_server ? &m_server->picture() : nullptr; }))
    , m_startTime(QDateTime::currentDateTimeUtc())
{
    m_clock.start();
    connect(m_listener, &QTcpServer::newConnection, this, &WebFrontEnd::acceptConnections);
    connect(m_webSockets, &QWebSocketServer::newConnection, this, &WebFrontEnd::takeViewers);
    m_webSockets->setHandshakeTimeout(std::chrono::milliseconds(DefaultRequestTimeoutMs));
}

WebFrontEnd::~WebFrontEnd()
{
    // Viewers first: each leaves the picture server, and its WebSocket still needs its TCP socket,
    // which the listener owns.
    m_viewers.clear();
    for (auto &entry : m_connections)
        entry.first->disconnect(this);
}

void WebFrontEnd::setModeration(const WebModeration &moderation)
{
    m_api->setModeration(moderation);
}

void WebFrontEnd::setRequestTimeout(int milliseconds)
{
    m_requestTimeoutMs = milliseconds;
    m_webSockets->setHandshakeTimeout(std::chrono::milliseconds(milliseconds));
}

bool WebFrontEnd::listen(const QHostAddress &address, quint16 port)
{
    return m_listener->listen(address, port);
}

quint16 WebFrontEnd::serverPort() const
{
    return m_listener->serverPort();
}

QString WebFrontEnd::errorString() const
{
    return m_listener->errorString();
}

void WebFrontEnd::acceptConnections()
{
    while (m_listener->hasPendingConnections()) {
        QTcpSocket *socket = m_listener->nextPendingConnection();
        const QHostAddress address = PictureServer::plainAddress(socket->peerAddress());
        int status = 0;
        QByteArray reason;
        if (m_server && !m_server->isAllowed(address)) {
            status = 403;
            reason = "not in --allow";
        } else if (int(m_connections.size()) >= MaxConnections) {
            status = 503;
            reason = "too many connections";
        } else {
            int fromAddress = 0;
            for (const auto &entry : m_connections)
                fromAddress += entry.second->address.isEqual(address) ? 1 : 0;
            if (fromAddress >= MaxConnectionsPerAddress) {
                status = 429;
                reason = "too many connections from one address";
            }
        }
        if (status != 0) {
            ++m_connectionsTurnedAway;
            ++m_responses[status];
            qCInfo(lcWeb).noquote()
                << "turned away web connection from" << address.toString() << "-" << reason;
            socket->write(httpResponse(status, "text/plain; charset=utf-8", reason + '\n', false));
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // A peer that never reads its answer must not keep the socket.
            QTimer::singleShot(m_requestTimeoutMs, socket, &QObject::deleteLater);
            continue;
        }

        auto connection = std::make_unique<Connection>();
        Connection *raw = connection.get();
        raw->socket = socket;
        raw->address = address;
        raw->timer = new QTimer(socket);
        raw->timer->setSingleShot(true);
        // The head of one request at most waits in memory; TCP holds back the rest.
        socket->setReadBufferSize(MaxRequestHead);
        m_connections.emplace(socket, std::move(connection));
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { readRequests(raw); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, raw] { readRequests(raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, raw] { closeConnection(raw); });
        connect(raw->timer, &QTimer::timeout, this, [this, raw] {
            if (raw->closing)
                closeConnection(raw);
            else
                refuse(raw, 408, "request not complete in time");
        });
        raw->timer->start(m_requestTimeoutMs);
        readRequests(raw);
    }
}

void WebFrontEnd::readRequests(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    // One answer at a time: a peer that sends requests faster than it reads the answers waits.
    while (!connection->closing && socket->bytesToWrite() == 0 && socket->bytesAvailable() > 0) {
        // A body is looked at once, when it is all there.
        if (socket->bytesAvailable() < connection->awaitedBytes)
            return;
        const QByteArray bytes =
            socket->peek(qMax<qint64>(MaxRequestHead, connection->awaitedBytes));
        HttpRequest request;
        const HttpParseResult result = parseHttpRequest(bytes, MaxRequestHead, &request, bodyBound);
        if (result.state == HttpParseResult::Incomplete) {
            if (result.awaitedBytes > 0 && connection->awaitedBytes == 0) {
                // Refused before its body is read, when the head says enough.
                if (const int status = refusalOnHead(request, connection->address)) {
                    refuse(connection, status,
                           status == 429 ? "one import a second" : "may not edit");
                    return;
                }
                connection->awaitedBytes = result.awaitedBytes;
                // Room for this request's body and no more; the deadline still runs.
                socket->setReadBufferSize(result.awaitedBytes);
            }
            return;
        }
        if (result.state == HttpParseResult::Refused) {
            refuse(connection, result.status, result.reason);
            return;
        }
        connection->awaitedBytes = 0;
        socket->setReadBufferSize(MaxRequestHead);
        ++m_requests;
        connection->host = request.header("host");
        if (request.webSocketUpgrade && request.path == "/live") {
            // Pages elsewhere may not draw, nor watch, with their visitors' keys or addresses.
            const QByteArray origin = request.header("origin");
            if (!origin.isEmpty() && !m_access.allowsOrigin(origin, connection->host)) {
                refuse(connection, 403, "WebSocket from origin " + origin.left(200));
                return;
            }
            // The WebSocket server reads the head itself.
            handOverWebSocket(connection);
            return;
        }
        socket->skip(request.length());
        answer(connection, request);
        if (!connection->closing)
            connection->timer->start(m_requestTimeoutMs);
    }
}

void WebFrontEnd::answer(Connection *connection, const HttpRequest &request)
{
    if (WebApi::handles(request.path)) {
        answerApi(connection, request);
        return;
    }
    const bool head = request.method == "HEAD";
    if (bodyBound(request) >= 0) {
        answerPost(connection, request);
        return;
    }
    if (request.method != "GET" && !head) {
        ++m_responses[405];
        connection->socket->write(httpResponse(405, "text/plain; charset=utf-8",
                                               "only GET and HEAD\n", false, false,
                                               {{"Allow", "GET, HEAD"}}));
        closeConnection(connection);
        return;
    }
    const bool keepAlive = request.keepAlive;
    for (const StaticFile &file : staticFiles) {
        if (request.path == file.path) {
            QFile resource(QString::fromLatin1(file.resource));
            if (!resource.open(QIODevice::ReadOnly)) {
                send(connection, 500, "text/plain", "missing resource\n", false);
                return;
            }
            send(connection, 200, file.contentType, resource.readAll(), keepAlive, head);
            return;
        }
    }
    if (request.path == "/picture.png") {
        int status = 200;
        const QByteArray body = picturePng(request.query, connection->address, &status);
        if (status == 429) {
            ++m_responses[status];
            connection->socket->write(httpResponse(status, "text/plain; charset=utf-8", body,
                                                   keepAlive, head, {{"Retry-After", "1"}}));
            if (!keepAlive)
                closeConnection(connection);
            return;
        }
        send(connection, status, status == 200 ? "image/png" : "text/plain; charset=utf-8", body,
             keepAlive, head);
    } else if (request.path == "/formats.json") {
        send(connection, 200, "application/json", formatsJson(), keepAlive, head);
    } else if (request.path == "/history") {
        if (!m_history.hasPictures())
            send(connection, 404, "text/plain; charset=utf-8", "no history kept\n", keepAlive,
                 head);
        else
            send(connection, 200, "application/json", historyJson(), keepAlive, head);
    } else if (request.path == "/timelapse.gif") {
        const QByteArray gif = timelapse();
        if (gif.isEmpty())
            send(connection, 404, "text/plain; charset=utf-8", "no time-lapse\n", keepAlive, head);
        else
            send(connection, 200, "image/gif", gif, keepAlive, head);
    } else if (request.path == "/metrics") {
        send(connection, 200, "text/plain; version=0.0.4; charset=utf-8", metrics(), keepAlive,
             head);
    } else if (request.path == "/live") {
        send(connection, 400, "text/plain; charset=utf-8", "/live is a WebSocket\n", keepAlive,
             head);
    } else {
        send(connection, 404, "text/plain; charset=utf-8", "not found\n", keepAlive, head);
    }
}

void WebFrontEnd::answerApi(Connection *connection, const HttpRequest &request)
{
    const WebApi::Answer answer = m_api->answer(request, connection->address, m_clock.elapsed());
    ++m_responses[answer.status];
    QList<QPair<QByteArray, QByteArray>> headers = answer.headers;
    headers.emplaceBack("Cache-Control", "no-store");
    connection->socket->write(httpResponse(answer.status, "application/json", answer.body,
                                           request.keepAlive, request.method == "HEAD", headers));
    if (!request.keepAlive)
        closeConnection(connection);
}

void WebFrontEnd::send(Connection *connection, int status, QByteArrayView contentType,
                       const QByteArray &body, bool keepAlive, bool headOnly)
{
    ++m_responses[status];
    connection->socket->write(
        httpResponse(status, contentType, body, keepAlive, headOnly,
                     {{"Cache-Control", "no-store"},
                      {"Content-Security-Policy", contentSecurityPolicy(connection->host)}}));
    if (!keepAlive)
        closeConnection(connection);
}

void WebFrontEnd::refuse(Connection *connection, int status, const QByteArray &reason)
{
    ++m_responses[status];
    qCInfo(lcWeb).noquote() << "refused a request from" << connection->address.toString() << "-"
                            << status << reason;
    connection->socket->write(
        httpResponse(status, "text/plain; charset=utf-8", reason + '\n', false));
    closeConnection(connection);
}

void WebFrontEnd::closeConnection(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    if (!connection->closing && socket->state() == QAbstractSocket::ConnectedState &&
        socket->bytesToWrite() > 0) {
        // The answer goes out first; a peer that does not take it is cut off at the deadline.
        connection->closing = true;
        socket->disconnectFromHost();
        connection->timer->start(m_requestTimeoutMs);
        return;
    }
    const auto found = m_connections.find(socket);
    if (found == m_connections.end())
        return;
    connection->closing = true;
    socket->disconnect(this);
    connection->timer->stop();
    socket->abort();
    socket->deleteLater();
    // Callers up the stack may still hold the record: it goes from the event loop.
    m_closed.push_back(std::move(found->second));
    m_connections.erase(found);
    if (m_closed.size() == 1)
        QMetaObject::invokeMethod(
            this, [this] { m_closed.clear(); }, Qt::QueuedConnection);
}

void WebFrontEnd::handOverWebSocket(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    const auto found = m_connections.find(socket);
    socket->disconnect(this);
    connection->timer->stop();
    delete connection->timer;
    // The handshake may be as long as any request; the WebSocket reads it from the socket.
    socket->setReadBufferSize(0);
    const auto peer = std::make_pair(socket->peerAddress().toString(), socket->peerPort());
    m_upgrading[peer] = socket->socketDescriptor();
    // A handshake that fails never comes back as a viewer.
    connect(socket, &QObject::destroyed, this, [this, peer] { m_upgrading.erase(peer); });
    m_connections.erase(found);
    // It reads the head, which is in the socket's buffer already, at once.
    m_webSockets->handleConnection(socket);
}

void WebFrontEnd::takeViewers()
{
    while (m_webSockets->hasPendingConnections()) {
        std::unique_ptr<QWebSocket> socket(m_webSockets->nextPendingConnection());
        const auto key = std::make_pair(socket->peerAddress().toString(), socket->peerPort());
        const auto upgrading = m_upgrading.find(key);
        qintptr descriptor = -1;
        if (upgrading != m_upgrading.end()) {
            descriptor = upgrading->second;
            m_upgrading.erase(upgrading);
        }
        if (socket->requestUrl().path() != QLatin1String("/live")) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("only /live"));
            continue;
        }
        auto viewer =
            std::make_unique<WebViewer>(std::move(socket), descriptor, m_server, &m_access);
        WebViewer *raw = viewer.get();
        connect(raw, &WebViewer::finished, this, [this, raw] {
            const auto found = m_viewers.find(raw);
            if (found == m_viewers.end())
                return;
            found->second.release()->deleteLater();
            m_viewers.erase(found);
        });
        m_viewers.emplace(raw, std::move(viewer));
        ++m_viewersAccepted;
        raw->start();
    }
}

void WebFrontEnd::setEditForAll(bool edit)
{
    m_access.setEditForAll(edit);
    closeViewersNoLongerAllowed();
}

void WebFrontEnd::setKeys(WebKeys keys)
{
    m_access.setKeys(std::move(keys));
    closeViewersNoLongerAllowed();
}

void WebFrontEnd::closeViewersNoLongerAllowed()
{
    std::vector<WebViewer *> viewers;
    for (const auto &entry : m_viewers)
        viewers.push_back(entry.first);
    // A viewer closed here leaves the table only from the event loop.
    for (WebViewer *viewer : viewers)
        viewer->checkAccess();
}

void WebFrontEnd::answerPost(Connection *connection, const HttpRequest &request)
{
    if (request.path == "/import") {
        const WebImport::Answer answer =
            m_import.answer(request, connection->address, m_access,
                            m_server ? m_server->picture().formatNumber() : Picture::DefaultFormat,
                            m_clock.elapsed());
        send(connection, answer.status,
             answer.status == 200 ? "application/octet-stream" : "text/plain; charset=utf-8",
             answer.body, request.keepAlive);
        return;
    }
    send(connection, 404, "text/plain; charset=utf-8", "not found\n", request.keepAlive);
}

int WebFrontEnd::refusalOnHead(const HttpRequest &head, const QHostAddress &address) const
{
    if (head.path == "/import")
        return m_import.refusal(head, address, m_access, m_clock.elapsed());
    return 0;
}

bool WebFrontEnd::takeRender(const QHostAddress &address)
{
    const qint64 now = m_clock.elapsed();
    if (m_renderBudgets.size() > 1024) {
        // Addresses whose budget has filled up again are as good as new.
        for (auto entry = m_renderBudgets.begin(); entry != m_renderBudgets.end();)
            entry = now - entry->second.sinceMs >= m_imagesBurst * 1000 / qMax(1, m_imagesPerSecond)
                        ? m_renderBudgets.erase(entry)
                        : std::next(entry);
    }
    auto [entry, added] =
        m_renderBudgets.try_emplace(address.toString(), RenderBudget{double(m_imagesBurst), now});
    RenderBudget &budget = entry->second;
    budget.tokens = qMin(double(m_imagesBurst),
                         budget.tokens + double(now - budget.sinceMs) * m_imagesPerSecond / 1000.0);
    budget.sinceMs = now;
    if (budget.tokens < 1)
        return false;
    budget.tokens -= 1;
    return true;
}

QByteArray WebFrontEnd::picturePng(const QByteArray &query, const QHostAddress &client, int *status)
{
    const QUrlQuery items(QString::fromLatin1(query));
    QSize size = PictureRenderer::DefaultSize;
    if (items.hasQueryItem(QStringLiteral("size"))) {
        const QStringList parts =
            items.queryItemValue(QStringLiteral("size")).split(QLatin1Char('x'));
        bool okWidth = false;
        bool okHeight = false;
        const int width = parts.size() == 2 ? parts.at(0).toInt(&okWidth) : 0;
        const int height = parts.size() == 2 ? parts.at(1).toInt(&okHeight) : 0;
        if (!okWidth || !okHeight || width < 1 || height < 1 || width > MaxImageSide ||
            height > MaxImageSide) {
            *status = 400;
            return QByteArrayLiteral("size must be WIDTHxHEIGHT, each 1 to ") +
                   QByteArray::number(MaxImageSide) + '\n';
        }
        size = QSize(width, height);
    }

    std::optional<Picture> past;
    if (items.hasQueryItem(QStringLiteral("at"))) {
        if (!m_history.hasPictures()) {
            *status = 404;
            return QByteArrayLiteral("no history kept\n");
        }
        QString error;
        past = m_history.pictureAt(items.queryItemValue(QStringLiteral("at"), QUrl::FullyDecoded),
                                   &error);
        if (!past) {
            *status = 400;
            return error.toUtf8() + '\n';
        }
    }
    if (!past && !m_server) {
        *status = 503;
        return QByteArrayLiteral("no picture\n");
    }

    // Viewers ask for the same picture at the same size over and over (a page's slider, many
    // pages at once): the last one is kept, known by the picture's whole content.
    if (!past)
        m_server->store()->aboutToRelay();
    const Picture &shown = past ? *past : m_server->picture();
    const QByteArray &content = shown.update();
    *status = 200;
    if (size == m_pngSize && content == m_pngPicture)
        return m_png;
    if (!takeRender(client)) {
        *status = 429;
        return QByteArrayLiteral("too many new images from one address; try again in a second\n");
    }

    const QImage image = PictureRenderer::render(shown, size);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    // Flat areas of few colours: zlib's fastest level (Qt's quality 80) is nearly as small as
    // its best and several times quicker.
    image.save(&buffer, "PNG", 80);
    m_pngPicture = content;
    m_pngSize = size;
    m_png = png;
    return png;
}

QByteArray WebFrontEnd::historyJson() const
{
    const std::optional<WebHistory::Range> range = m_history.keptRange();
    if (!range)
        return QByteArrayLiteral("{\"first\":null,\"last\":null,\"timelapse\":false}\n");
    return "{\"first\":\"" + range->first.toUTC().toString(Qt::ISODateWithMs).toLatin1() +
           "\",\"last\":\"" + range->last.toUTC().toString(Qt::ISODateWithMs).toLatin1() +
           "\",\"timelapse\":" + (m_history.timelapse ? "true" : "false") + "}\n";
}

QByteArray WebFrontEnd::timelapse()
{
    if (!m_history.timelapse)
        return QByteArray();
    const std::optional<WebHistory::Range> range =
        m_history.keptRange ? m_history.keptRange() : std::nullopt;
    const QDateTime upTo = range ? range->last : QDateTime();
    // Making one replays the whole history: the last stays good until the history grows.
    if (m_timelapse.isEmpty() || !range || upTo != m_timelapseUpTo) {
        m_timelapse = m_history.timelapse();
        m_timelapseUpTo = upTo;
    }
    return m_timelapse;
}

QByteArray WebFrontEnd::metrics() const
{
    QByteArray out;
    if (m_server) {
        const PictureServer::Counters &counters = m_server->counters();
        metric(&out, "celvane_clients", "gauge",
               "Clients served now, Celvane windows and web viewers.", m_server->clientCount());
        metric(&out, "celvane_connections_accepted_total", "counter",
               "Clients accepted, over TCP and WebSocket.", double(counters.clientsAccepted));
        metric(&out, "celvane_connections_turned_away_total", "counter",
               "Clients turned away by --allow, --max-clients, --max-per-address or the "
               "descriptor limit.",
               double(counters.clientsTurnedAway));
        metric(&out, "celvane_messages_received_total", "counter",
               "Protocol messages received from clients.", double(counters.messages));
        metric(&out, "celvane_edits_applied_total", "counter", "Edits applied to the picture.",
               double(counters.applied));
        metric(&out, "celvane_messages_refused_total", "counter",
               "Messages that could not be applied.", double(counters.refused));
        metric(&out, "celvane_edits_relayed_total", "counter",
               "Edits relayed, once per client they went to.", double(counters.relayed));
        metricFamily(&out, "celvane_clients_dropped_total", "counter",
                     "Clients disconnected for misbehaving, by reason.");
        std::map<QString, quint64> dropped = counters.droppedBy;
        for (const char *reason : dropReasons)
            dropped.try_emplace(QString::fromLatin1(reason), 0);
        for (const auto &[reason, count] : dropped)
            out += "celvane_clients_dropped_total{reason=\"" + reason.toLatin1() + "\"} " +
                   QByteArray::number(count) + '\n';
    }
    metric(&out, "celvane_web_viewers", "gauge", "Web pages watching the picture live.",
           double(m_viewers.size()));
    metric(&out, "celvane_web_viewers_accepted_total", "counter",
           "WebSocket connections that reached the picture server.", double(m_viewersAccepted));
    metric(&out, "celvane_http_requests_total", "counter", "HTTP requests read.",
           double(m_requests));
    metric(&out, "celvane_http_connections_turned_away_total", "counter",
           "HTTP connections refused by --allow or the connection limits.",
           double(m_connectionsTurnedAway));
    metricFamily(&out, "celvane_http_responses_total", "counter", "HTTP answers, by status.");
    for (const auto &[status, count] : m_responses)
        out += "celvane_http_responses_total{status=\"" + QByteArray::number(status) + "\"} " +
               QByteArray::number(count) + '\n';
    metric(&out, "process_start_time_seconds", "gauge",
           "Start time of the server since the Unix epoch, in seconds.",
           double(m_startTime.toMSecsSinceEpoch()) / 1000.0);
    for (const MetricsSource &source : m_metricsSources)
        out += source();
    return out;
}
