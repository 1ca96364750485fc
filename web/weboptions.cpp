#include "web/weboptions.h"

#include <QRegularExpression>

namespace {

// [ADDRESS:]PORT, with an IPv6 address in brackets.
std::optional<WebEndpoint> parseEndpoint(const QString &text)
{
    WebEndpoint endpoint;
    QString portText = text;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        QString host = text.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        else if (host.contains(QLatin1Char(':')))
            return std::nullopt;
        endpoint.address = QHostAddress(host);
        if (endpoint.address.isNull())
            return std::nullopt;
        portText = text.mid(colon + 1);
    }
    bool ok = false;
    const uint number = portText.toUInt(&ok);
    if (!ok || number > 65535)
        return std::nullopt;
    endpoint.port = quint16(number);
    return endpoint;
}

} // namespace

OptionTable webOptionTable()
{
    return {
        {QStringLiteral("http"), QStringLiteral("[ADDRESS:]PORT"), QString(),
         QStringLiteral("Also serve the picture on the web: a live page at /, the picture at "
                        "/picture.png, the counters at /metrics. ADDRESS defaults to --listen's; "
                        "PORT 0 picks a free one."),
         Option::NeedsRestart, false,
         [](const QString &text, QString *problem) -> std::optional<QVariant> {
             const std::optional<WebEndpoint> endpoint = parseEndpoint(text.trimmed());
             if (!endpoint) {
                 *problem = QStringLiteral("needs [ADDRESS:]PORT with a numeric address, not "
                                           "\"%1\"")
                                .arg(text);
                 return std::nullopt;
             }
             return QVariant::fromValue(*endpoint);
         }},
        {QStringLiteral("web-edit"), QString(), QString(),
         QStringLiteral("Let every page the server accepts draw, within every limit of a window "
                        "(without it, only pages opened with a --web-keys key draw)."),
         Option::Live, false, nullptr},
        {QStringLiteral("web-keys"), QStringLiteral("FILE"), QString(),
         QStringLiteral("Editors' keys, a line \"NAME KEY [moderator]\" each; a page opened as "
                        "/#key=KEY draws as NAME. Read again on reload; refused if others may "
                        "read or write it."),
         Option::Live, false,
         [](const QString &text, QString *problem) -> std::optional<QVariant> {
             if (text.trimmed().isEmpty()) {
                 *problem = QStringLiteral("needs a file name");
                 return std::nullopt;
             }
             return QVariant(text.trimmed());
         }},
        {QStringLiteral("web-origin"), QStringLiteral("ORIGIN"), QString(),
         QStringLiteral("A further origin whose pages may open the live WebSocket, as a browser "
                        "sends it: https://example.org (repeatable; the page's own is always "
                        "allowed)."),
         Option::Live, true,
         [](const QString &text, QString *problem) -> std::optional<QVariant> {
             static const QRegularExpression origin(
                 QStringLiteral("^https?://[A-Za-z0-9.\\-]+(:[0-9]{1,5})?$|"
                                "^https?://\\[[0-9A-Fa-f:.]+\\](:[0-9]{1,5})?$"));
             if (!origin.match(text.trimmed()).hasMatch()) {
                 *problem = QStringLiteral("needs http://HOST[:PORT] or https://HOST[:PORT], "
                                           "not \"%1\"")
                                .arg(text);
                 return std::nullopt;
             }
             return QVariant(text.trimmed());
         }},
    };
}
