#pragma once

#include "web/webaccess.h"
#include "web/webhistory.h"
#include "web/webimport.h"
#include "web/webmoderation.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSize>

#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

class PictureServer;
class QTcpServer;
class QTcpSocket;
class QTimer;
class QWebSocketServer;
class WebApi;
class WebViewer;
struct HttpRequest;

// The picture server's web side, in the server's own event loop: a page that shows the picture
// live (/, with its script and style from the program's resources), the WebSocket it watches
// through (/live, whose viewers are clients of the picture server), the picture as an image
// (/picture.png, the same renderer as --export-png), the past when a history is handed over
// (/history, /timelapse.gif, ?at=), the counters for an operator (/metrics), and who drew a cell
// and the moderation API (/cell, /api/..., see WebApi).
//
// Pages may draw too (see WebAccess and WebViewer): over /live, and by POST /import, which turns
// an image file into the picture's rows as the desktop program does (see WebImport). A WebSocket
// upgrade that comes from a page of another origin than the server's own or --web-origin's is
// refused (403), and every answer carries a Content-Security-Policy that lets the page load
// nothing from elsewhere and run no inline script.
//
// The front end reads requests itself (see httprequest.h) so that it can bound them: a head of at
// most MaxRequestHead bytes and its body, complete within requestTimeout() of the connection or of
// the last answer, a body only on the routes that take one and within their bound, at most
// MaxConnectionsPerAddress connections from one address and MaxConnections in all. Whatever
// breaks these gets a 4xx answer and is closed, with one log line at most. The picture server's
// --allow applies to every connection; its client limits and slow-reader limit apply to the
// viewers.
class WebFrontEnd : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype MaxRequestHead = 8192;
    static constexpr int DefaultRequestTimeoutMs = 10000;
    static constexpr int MaxConnectionsPerAddress = 16;
    static constexpr int MaxConnections = 256;
    // The largest ?size= served: a picture that size takes 16 MiB to paint.
    static constexpr int MaxImageSide = 2048;
    // Images one address may have made for it: a burst, then so many a second. Each costs the
    // event loop milliseconds that every client waits; images answered from the last one made
    // are free.
    static constexpr int DefaultImagesPerSecond = 10;
    static constexpr int DefaultImagesBurst = 20;

    // Extra families for /metrics (a journal's commits and lag, Redis's lag), written in the
    // Prometheus text format, each line ended by '\n'.
    using MetricsSource = std::function<QByteArray()>;

    explicit WebFrontEnd(PictureServer *server, QObject *parent = nullptr);
    ~WebFrontEnd() override;

    bool listen(const QHostAddress &address, quint16 port);
    quint16 serverPort() const;
    QString errorString() const;

    void setHistory(const WebHistory &history) { m_history = history; }
    // For /cell and the moderation API (see WebApi).
    void setModeration(const WebModeration &moderation);
    void addMetricsSource(MetricsSource source) { m_metricsSources.push_back(std::move(source)); }
    // When the server started, for /metrics (the front end's creation unless told).
    void setStartTime(const QDateTime &time) { m_startTime = time; }

    // For a request head, and for a WebSocket's handshake.
    void setRequestTimeout(int milliseconds);
    int requestTimeout() const { return m_requestTimeoutMs; }

    void setImageRate(int perSecond, int burst)
    {
        m_imagesPerSecond = perSecond;
        m_imagesBurst = burst;
    }

    // Who may draw, as --web-edit, --web-keys and --web-origin say; pages already drawing that
    // a change no longer lets draw are closed.
    void setEditForAll(bool edit);
    void setKeys(WebKeys keys);
    void setOrigins(const QStringList &origins) { m_access.setOrigins(origins); }
    const WebAccess &access() const { return m_access; }

    int viewerCount() const { return int(m_viewers.size()); }
    int connectionCount() const { return int(m_connections.size()); }

private:
    struct Connection;

    void acceptConnections();
    void readRequests(Connection *connection);
    void answer(Connection *connection, const HttpRequest &request);
    void answerPost(Connection *connection, const HttpRequest &request);
    // Why the head of a request with a body on its way turns it away, as a status; 0 if it does
    // not.
    int refusalOnHead(const HttpRequest &head, const QHostAddress &address) const;
    void closeViewersNoLongerAllowed();
    // Answers with an error and closes; one log line.
    void refuse(Connection *connection, int status, const QByteArray &reason);
    void answerApi(Connection *connection, const HttpRequest &request);
    void send(Connection *connection, int status, QByteArrayView contentType,
              const QByteArray &body, bool keepAlive, bool headOnly = false);
    void closeConnection(Connection *connection);
    void handOverWebSocket(Connection *connection);
    void takeViewers();

    // Takes one image from the address's budget; false when it has none left.
    bool takeRender(const QHostAddress &address);
    QByteArray picturePng(const QByteArray &query, const QHostAddress &client, int *status);
    QByteArray historyJson() const;
    QByteArray timelapse();
    QByteArray metrics() const;

    QPointer<PictureServer> m_server;
    QTcpServer *m_listener = nullptr;
    QWebSocketServer *m_webSockets = nullptr;
    int m_requestTimeoutMs = DefaultRequestTimeoutMs;
    WebHistory m_history;
    std::unique_ptr<WebApi> m_api;
    std::vector<MetricsSource> m_metricsSources;
    QDateTime m_startTime;
    std::unordered_map<QTcpSocket *, std::unique_ptr<Connection>> m_connections;
    std::vector<std::unique_ptr<Connection>> m_closed;
    // Sockets handed to the WebSocket server, by peer, until they come back as viewers: the
    // descriptor counts the kernel's share of a viewer's unsent bytes.
    std::map<std::pair<QString, quint16>, qintptr> m_upgrading;
    std::unordered_map<WebViewer *, std::unique_ptr<WebViewer>> m_viewers;
    WebAccess m_access;
    WebImport m_import;

    struct RenderBudget
    {
        double tokens = 0;
        qint64 sinceMs = 0;
    };
    QElapsedTimer m_clock;
    int m_imagesPerSecond = DefaultImagesPerSecond;
    int m_imagesBurst = DefaultImagesBurst;
    std::unordered_map<QString, RenderBudget> m_renderBudgets;
    // The last /picture.png: the picture's Update, the size, the image.
    QByteArray m_pngPicture;
    QSize m_pngSize;
    QByteArray m_png;
    QByteArray m_timelapse;
    QDateTime m_timelapseUpTo;

    // For /metrics.
    quint64 m_requests = 0;
    std::map<int, quint64> m_responses; // by status
    quint64 m_connectionsTurnedAway = 0;
    quint64 m_viewersAccepted = 0;
};
