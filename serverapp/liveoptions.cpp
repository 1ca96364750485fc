#include "serverapp/liveoptions.h"

#include "options/optionvalues.h"
#include "server/pictureserver.h"
#include "server/serverlogging.h"
#include "web/webfrontend.h"
#include "web/webkeys.h"

#include <QLoggingCategory>

#include <functional>
#include <map>

namespace {

using Apply = std::function<void(PictureServer *, const OptionValues &)>;
using ApplyWeb = std::function<void(WebFrontEnd *, const OptionValues &)>;

QList<QPair<QHostAddress, int>> subnets(const QVariantList &values)
{
    QList<QPair<QHostAddress, int>> list;
    for (const QVariant &value : values)
        list.append(value.value<QPair<QHostAddress, int>>());
    return list;
}

void setReadOnly(PictureServer *server, bool readOnly)
{
    ClientSession::Limits limits = server->sessionLimits();
    limits.readOnly = readOnly;
    server->setSessionLimits(limits);
}

// Without --max-clients: as many clients as the descriptors allow, up to the default.
int maxClients(const QVariant &value)
{
    return value.isValid() ? value.toInt()
                           : qBound(1, PictureServer::clientDescriptorBudget(),
                                    PictureServer::DefaultMaxClients);
}

const std::map<QString, Apply> &appliers()
{
    static const std::map<QString, Apply> table = {
        {QStringLiteral("allow"),
         [](PictureServer *s, const OptionValues &v) {
             s->setAllowed(subnets(v.values("allow")));
         }},
        {QStringLiteral("read-only"),
         [](PictureServer *s, const OptionValues &v) {
             setReadOnly(s, v.isSet("read-only"));
         }},
        {QStringLiteral("max-clients"),
         [](PictureServer *s, const OptionValues &v) {
             s->setMaxClients(maxClients(v.value("max-clients")));
         }},
        {QStringLiteral("max-per-address"),
         [](PictureServer *s, const OptionValues &v) {
             s->setMaxPerAddress(v.value("max-per-address").toInt());
         }},
        {QStringLiteral("hello-timeout"),
         [](PictureServer *s, const OptionValues &v) {
             s->setHelloTimeout(v.value("hello-timeout").toInt());
         }},
        {QStringLiteral("stall-timeout"),
         [](PictureServer *s, const OptionValues &v) {
             s->setStallTimeout(v.value("stall-timeout").toInt());
         }},
        {QStringLiteral("keepalive"),
         [](PictureServer *s, const OptionValues &v) {
             s->setKeepAlive(v.value("keepalive").toInt());
         }},
        {QStringLiteral("cooldown"),
         [](PictureServer *s, const OptionValues &v) {
             s->setCooldown(v.value("cooldown").toInt());
         }},
        {QStringLiteral("max-edits-per-second"),
         [](PictureServer *s, const OptionValues &v) {
             s->setMaxEditsPerSecond(v.value("max-edits-per-second").toInt());
         }},
        {QStringLiteral("verbose"),
         [](PictureServer *, const OptionValues &v) {
             LiveOptions::setVerbose(v.isSet("verbose"));
         }},
    };
    return table;
}

// A keys file that cannot be read leaves the keys in use as they are (the start refuses it).
void loadKeys(WebFrontEnd *web, const OptionValues &values)
{
    if (!values.isSet("web-keys")) {
        web->setKeys(WebKeys());
        return;
    }
    QString problem;
    std::optional<WebKeys> keys = WebKeys::load(values.value("web-keys").toString(), &problem);
    if (!keys) {
        qCWarning(lcServer).noquote()
            << QStringLiteral("--web-keys: %1; keeping the %2 keys in use")
                   .arg(problem)
                   .arg(web->access().keys().size());
        return;
    }
    qCInfo(lcServer).noquote() << QStringLiteral("--web-keys: %1 editors from %2")
                                      .arg(keys->size())
                                      .arg(values.value("web-keys").toString());
    web->setKeys(std::move(*keys));
}

const std::map<QString, ApplyWeb> &webAppliers()
{
    static const std::map<QString, ApplyWeb> table = {
        {QStringLiteral("web-edit"),
         [](WebFrontEnd *w, const OptionValues &v) {
             w->setEditForAll(v.isSet("web-edit"));
         }},
        {QStringLiteral("web-keys"), loadKeys},
        {QStringLiteral("web-origin"),
         [](WebFrontEnd *w, const OptionValues &v) {
             QStringList origins;
             for (const QVariant &value : v.values("web-origin"))
                 origins.append(value.toString());
             w->setOrigins(origins);
         }},
    };
    return table;
}

} // namespace

LiveOptions::LiveOptions(PictureServer *server, WebFrontEnd *web)
    : m_server(server)
    , m_web(web)
{
}

bool LiveOptions::handles(const QString &name)
{
    return appliers().count(name) > 0 || webAppliers().count(name) > 0;
}

void LiveOptions::apply(const QString &name, const OptionValues &values) const
{
    if (const auto web = webAppliers().find(name); web != webAppliers().end()) {
        if (m_web)
            web->second(m_web, values);
        return;
    }
    const auto found = appliers().find(name);
    Q_ASSERT_X(found != appliers().end(), "LiveOptions::apply", "a live option with no applier");
    if (found != appliers().end())
        found->second(m_server, values);
}

void LiveOptions::rereadFiles(const OptionValues &values) const
{
    if (m_web && values.isSet("web-keys"))
        loadKeys(m_web, values);
}

void LiveOptions::setVerbose(bool verbose)
{
    // Clients coming and going and refused messages are worth a line; every message only when
    // asked for.
    QString rules = QStringLiteral(
        "celvane.server.info=true\ncelvane.journal.info=true\ncelvane.recovery.info=true\n"
        "celvane.web.info=true\ncelvane.redis.info=true");
    if (verbose)
        rules += QStringLiteral(
            "\ncelvane.server.debug=true\ncelvane.journal.debug=true\ncelvane.redis.debug=true");
    QLoggingCategory::setFilterRules(rules);
}
