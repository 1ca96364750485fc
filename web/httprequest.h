#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

// The head of one HTTP/1.x request, read from bytes alone: nothing here knows of sockets, so the
// web front end and its tests feed it the same way. Only what a read-only site needs is taken:
// GET-style requests without a body, in origin form ("/path?query").
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
    // Bytes of the head, the blank line included: where the next request would start.
    qsizetype headLength = 0;

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
};

// Reads the head at the start of bytes. A head longer than maxHeadBytes, or a request that
// carries a body, is refused; bytes that cannot begin a request are refused as soon as they are
// seen rather than when the head would be complete, so that garbage is answered at once.
HttpParseResult parseHttpRequest(QByteArrayView bytes, qsizetype maxHeadBytes,
                                 HttpRequest *request);

// A whole response with a body. HEAD requests get the same headers and no body.
QByteArray httpResponse(int status, QByteArrayView contentType, const QByteArray &body,
                        bool keepAlive, bool headOnly = false,
                        const QList<QPair<QByteArray, QByteArray>> &extraHeaders = {});

// The reason phrase of the statuses this server sends.
QByteArray httpReasonPhrase(int status);
