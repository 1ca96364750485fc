#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

#include <functional>

// One HTTP/1.x request, read from bytes alone: nothing here knows of sockets, so the web front end
// and its tests feed it the same way. Requests in origin form ("/path?query"); a body only where
// the route declares a bound for it, and only with Content-Length (no chunked transfer).
struct HttpRequest
{
    QByteArray method;
    QByteArray path;  // the target up to '?', as sent
    QByteArray query; // after '?', without it; empty when there is none
    bool http10 = false;
    bool keepAlive = false;
    // Upgrade: websocket together with Connection: upgrade.
    bool webSocketUpgrade = false;
    // Header names in lower case, values without the spaces around them, in the order sent.
    QList<QPair<QByteArray, QByteArray>> headers;
    // Bytes of the head, the blank line included.
    qsizetype headLength = 0;
    // The body, whole, as Content-Length gave its size.
    qint64 contentLength = 0;
    QByteArray body;

    // Where the next request starts.
    qint64 length() const { return headLength + contentLength; }

    QByteArray header(QByteArrayView lowerCaseName) const;
};

struct HttpParseResult
{
    enum State {
        Incomplete, // nothing wrong so far; more bytes are needed
        Complete,   // request holds the head
        Refused,    // answer with status and close
    };
    State state = Incomplete;
    int status = 0;    // for Refused: 400, 413, 431, 501 or 505
    QByteArray reason; // for Refused: a short text for the answer and the log
    // For Incomplete once the head is complete (and in *request): the bytes the whole request
    // takes, its body included; 0 while the head is not complete.
    qint64 awaitedBytes = 0;
};

// The most body a request's route takes, or -1 when it takes none.
using HttpBodyBound = std::function<qint64(const HttpRequest &head)>;

// Reads the request at the start of bytes. A head longer than maxHeadBytes is refused, and so is a
// body that bodyBound (when given) does not allow or allows less of; bytes that cannot begin a
// request are refused as soon as they are seen rather than when the head would be complete, so
// that garbage is answered at once.
HttpParseResult parseHttpRequest(QByteArrayView bytes, qsizetype maxHeadBytes, HttpRequest *request,
                                 const HttpBodyBound &bodyBound = {});

// A whole response with a body. HEAD requests get the same headers and no body. Every answer
// carries the security headers, with contentSecurityPolicy() of no host unless extraHeaders has a
// Content-Security-Policy of its own.
QByteArray httpResponse(int status, QByteArrayView contentType, const QByteArray &body,
                        bool keepAlive, bool headOnly = false,
                        const QList<QPair<QByteArray, QByteArray>> &extraHeaders = {});

// The security policy of every answer, whose pages may open WebSockets only to host (the Host
// header's value, left out when it is not a plain host[:port]).
QByteArray contentSecurityPolicy(QByteArrayView host);

// The reason phrase of the statuses this server sends.
QByteArray httpReasonPhrase(int status);
