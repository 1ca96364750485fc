#include "web/httprequest.h"

#include <algorithm>

namespace {

constexpr int MaxHeaders = 64;
constexpr qsizetype MaxTargetLength = 2048;

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text)
        if (!isTokenChar(c))
            return false;
    return true;
}

// Visible ASCII, spaces and tabs: what a field value may hold here.
bool isFieldValue(QByteArrayView text)
{
    for (const char c : text) {
        const auto u = uchar(c);
        if (u != '\t' && (u < 0x20 || u == 0x7f))
            return false;
    }
    return true;
}

bool isTarget(QByteArrayView text)
{
    if (text.isEmpty() || text.front() != '/' || text.size() > MaxTargetLength)
        return false;
    for (const char c : text) {
        const auto u = uchar(c);
        if (u <= 0x20 || u >= 0x7f)
            return false;
    }
    return true;
}

bool hasToken(QByteArrayView list, QByteArrayView token)
{
    for (const QByteArrayView item : QByteArray(list.toByteArray()).split(','))
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

HttpParseResult refused(int status, const char *reason)
{
    return {HttpParseResult::Refused, status, QByteArray(reason)};
}

// Checks what has arrived of the request line before the head is complete, so that a peer
// sending something other than HTTP is answered at once.
bool plausibleStart(QByteArrayView bytes)
{
    const qsizetype lineEnd = bytes.indexOf('\n');
    const QByteArrayView line = lineEnd < 0 ? bytes : bytes.first(lineEnd);
    const qsizetype space = line.indexOf(' ');
    const QByteArrayView method = space < 0 ? line : line.first(space);
    if (method.size() > 16)
        return false;
    for (const char c : method)
        if (!isTokenChar(c))
            return false;
    for (const char c : line)
        if ((uchar(c) < 0x20 && c != '\r') || uchar(c) == 0x7f)
            return false;
    return true;
}

} // namespace

QByteArray HttpRequest::header(QByteArrayView lowerCaseName) const
{
    for (const auto &entry : headers)
        if (entry.first == lowerCaseName)
            return entry.second;
    return QByteArray();
}

HttpParseResult parseHttpRequest(QByteArrayView bytes, qsizetype maxHeadBytes, HttpRequest *request,
                                 const HttpBodyBound &bodyBound)
{
    const qsizetype end = bytes.first(qMin(bytes.size(), maxHeadBytes)).indexOf("\r\n\r\n");
    if (end < 0) {
        if (!plausibleStart(bytes))
            return refused(400, "not an HTTP request");
        if (bytes.size() >= maxHeadBytes)
            return refused(431, "request head too large");
        return {};
    }

    *request = HttpRequest();
    request->headLength = end + 4;
    const QList<QByteArray> lines = bytes.first(end).toByteArray().split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        if (!lines.at(i).endsWith('\r'))
            return refused(400, "line not ended by CR LF");

    const QByteArray requestLine = lines.first().chopped(lines.size() > 1 ? 1 : 0);
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || !isToken(parts.at(0)) || parts.at(0).size() > 16 ||
        !isTarget(parts.at(1)))
        return refused(400, "malformed request line");
    const QByteArray &version = parts.at(2);
    if (version == "HTTP/1.0")
        request->http10 = true;
    else if (version != "HTTP/1.1")
        return version.startsWith("HTTP/") ? refused(505, "only HTTP/1.0 and 1.1")
                                           : refused(400, "malformed request line");
    request->method = parts.at(0);
    const qsizetype question = parts.at(1).indexOf('?');
    request->path = question < 0 ? parts.at(1) : parts.at(1).first(question);
    request->query = question < 0 ? QByteArray() : parts.at(1).sliced(question + 1);

    if (lines.size() - 1 > MaxHeaders)
        return refused(431, "too many header fields");
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).endsWith('\r') ? lines.at(i).chopped(1) : lines.at(i);
        const qsizetype colon = line.indexOf(':');
        // No folded lines (obsolete) and no space before the colon (a smuggling trick).
        if (colon <= 0 || !isToken(QByteArrayView(line).first(colon)))
            return refused(400, "malformed header field");
        const QByteArray value = line.sliced(colon + 1).trimmed();
        if (!isFieldValue(value))
            return refused(400, "malformed header field");
        request->headers.append({line.first(colon).toLower(), value});
    }

    if (!request->http10 && request->header("host").isEmpty())
        return refused(400, "no Host header");
    if (!request->header("transfer-encoding").isEmpty())
        return refused(501, "only bodies of a Content-Length are taken");
    int lengths = 0;
    for (const auto &entry : request->headers)
        lengths += entry.first == "content-length" ? 1 : 0;
    const QByteArray length = request->header("content-length");
    if (lengths > 1)
        return refused(400, "more than one Content-Length");
    if (!length.isEmpty() && length != "0") {
        const qint64 bound = bodyBound ? bodyBound(*request) : -1;
        if (bound < 0)
            return refused(413, "request bodies are not taken");
        // Digits only: no sign, no spaces, nothing a second reader could take otherwise.
        if (length.size() > 15 ||
            !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return refused(400, "malformed Content-Length");
        request->contentLength = length.toLongLong();
        if (request->contentLength > bound)
            return refused(413, "request body too large");
        if (bytes.size() - request->headLength < request->contentLength)
            return {HttpParseResult::Incomplete, 0, QByteArray(), request->length()};
        request->body = bytes.sliced(request->headLength, request->contentLength).toByteArray();
    }

    const QByteArray connection = request->header("connection");
    request->keepAlive =
        request->http10 ? hasToken(connection, "keep-alive") : !hasToken(connection, "close");
    request->webSocketUpgrade =
        hasToken(request->header("upgrade"), "websocket") && hasToken(connection, "upgrade");
    return {HttpParseResult::Complete, 0, QByteArray()};
}

QByteArray contentSecurityPolicy(QByteArrayView host)
{
    // Scripts and styles only from the page's own files, no inline ones; the WebSocket of its own
    // server. A host that is more than host[:port] is not let into the header.
    const bool plainHost = !host.isEmpty() && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               QByteArrayView(".-:[]").contains(c);
    });
    return "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
           "connect-src 'self'" +
           (plainHost ? " ws://" + host.toByteArray() : QByteArray()) +
           "; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
}

QByteArray httpReasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 401:
        return "Unauthorized";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}

QByteArray httpResponse(int status, QByteArrayView contentType, const QByteArray &body,
                        bool keepAlive, bool headOnly,
                        const QList<QPair<QByteArray, QByteArray>> &extraHeaders)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' +
                          httpReasonPhrase(status) +
                          "\r\nContent-Type: " + contentType.toByteArray() +
                          "\r\nContent-Length: " + QByteArray::number(body.size()) +
                          "\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer"
                          "\r\nConnection: " +
                          (keepAlive ? "keep-alive" : "close") + "\r\n";
    bool policy = false;
    for (const auto &header : extraHeaders) {
        response += header.first + ": " + header.second + "\r\n";
        policy = policy || header.first == "Content-Security-Policy";
    }
    if (!policy)
        response += "Content-Security-Policy: " + contentSecurityPolicy({}) + "\r\n";
    response += "\r\n";
    if (!headOnly)
        response += body;
    return response;
}
