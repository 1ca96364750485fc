#pragma once

#include "web/addressbudget.h"
#include "web/webmoderation.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QPair>

#include <functional>
#include <optional>

struct HttpRequest;

// The web side's JSON routes: /cell, which says who last changed a cell, and the moderation API
// under /api/, for a moderator's page and for scripts. Everything it knows of the server comes
// through WebModeration's hooks and the picture it is handed, so that it can be tested with
// stand-ins and knows nothing of journals or control sockets.
//
// Every answer is JSON, an error {"error":"..."}. /cell is open to all, limited per address, and
// shows the address only to a moderator; every /api/ route needs a moderator's
// "Authorization: Bearer KEY" (401 without one or with a key not known, 403 for an editor who is
// not a moderator). Keys are never logged: a refusal's log line names the address alone.
class WebApi
{
public:
    // The largest body a POST route takes; the front end refuses a longer one before reading it.
    static constexpr qsizetype MaxBody = 4096;
    static constexpr qsizetype MaxQuery = 256;
    static constexpr qsizetype MaxKeyLength = 256;
    // /cell answers one address may have: a burst, then so many a second. Each reads the history.
    static constexpr int DefaultCellsPerSecond = 10;
    static constexpr int DefaultCellsBurst = 20;

    struct Answer
    {
        int status = 200;
        QByteArray body; // JSON
        QList<QPair<QByteArray, QByteArray>> headers;
    };

    // picture is the picture as it stands, for the grid's size; null while there is none.
    explicit WebApi(std::function<const Picture *()> picture);

    void setModeration(const WebModeration &moderation) { m_moderation = moderation; }
    void setCellRate(int perSecond, int burst) { m_cellBudget = AddressBudget(perSecond, burst); }

    // Whether the path is one of these routes.
    static bool handles(QByteArrayView path);
    // How long a body a request may carry: MaxBody for a POST to a route that takes one, else 0.
    static qsizetype maxBody(QByteArrayView method, QByteArrayView path);

    // The answer to a request for one of these routes from address; steadyMs is any steady
    // clock's milliseconds, for the rate limit.
    Answer answer(const HttpRequest &request, const QHostAddress &address, qint64 steadyMs);

private:
    // The editor the request's key names: nothing without a key (*answer untouched) or with a key
    // that is not known or not readable (*answer the 401).
    std::optional<WebEditor> editorOf(const HttpRequest &request, const QHostAddress &address,
                                      Answer *answer) const;
    Answer cell(const HttpRequest &request, const QHostAddress &address, qint64 steadyMs);
    Answer authors(const QByteArray &query);
    Answer post(QByteArrayView path, const QJsonObject &object, const WebEditor &editor,
                const QHostAddress &address);
    Answer revert(const QJsonObject &object, const WebEditor &editor);
    Answer ban(const QJsonObject &object, const WebEditor &editor);
    Answer unban(const QJsonObject &object, const WebEditor &editor);
    Answer lock(const QJsonObject &object, const WebEditor &editor, bool locking);
    // A TIME field read by the hook; nothing without one (*error empty) or for a bad one.
    std::optional<qint64> moment(const QJsonObject &object, QLatin1String field, QString *error);
    QSize grid() const;

    std::function<const Picture *()> m_picture;
    WebModeration m_moderation;
    AddressBudget m_cellBudget{DefaultCellsPerSecond, DefaultCellsBurst};
};
