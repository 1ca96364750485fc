#include "serverapp/reloader.h"

#include "server/serverlogging.h"
#include "serverapp/liveoptions.h"
#include "serverapp/serverconfiguration.h"
#include "service/servicenotifier.h"

Reloader::Reloader(const ServerConfiguration *configuration, const LiveOptions *live)
    : m_configuration(configuration)
    , m_live(live)
    , m_running(configuration->values())
{
}

Reloader::Result Reloader::reload()
{
    ServiceNotifier::reloading();
    const QString path = m_configuration->configPath();
    Result result;
    OptionValues fresh;
    QString error;
    bool filesRead = false;
    if (path.isEmpty()) {
        result.summary = QStringLiteral("no configuration file to read again (started without "
                                        "--config): nothing changed");
    } else if (!m_configuration->reread(&fresh, &error)) {
        result.summary = QStringLiteral("nothing changed: %1").arg(error);
    } else {
        result.ok = true;
        QStringList changed;
        QStringList needRestart;
        for (const Option &option : m_configuration->fileOptions().options()) {
            if (fresh.sameAs(m_running, option.name))
                continue;
            if (option.change != Option::Live) {
                needRestart.append(option.name);
                continue;
            }
            qCInfo(lcServer).noquote()
                << QStringLiteral("reload: %1 is now %2 (was %3)")
                       .arg(option.name, shown(fresh, option.name), shown(m_running, option.name));
            m_live->apply(option.name, fresh);
            filesRead = filesRead || option.name == QLatin1String("web-keys");
            m_running.take(fresh, option.name);
            changed.append(option.name);
        }
        result.summary =
            QStringLiteral("read %1 again: %2")
                .arg(path,
                     changed.isEmpty()
                         ? QStringLiteral("nothing to change")
                         : QStringLiteral("changed %1").arg(changed.join(QStringLiteral(", "))));
        if (!needRestart.isEmpty()) {
            const QString kept = QStringLiteral("%1 changed but need a restart; left as they are")
                                     .arg(needRestart.join(QStringLiteral(", ")));
            qCWarning(lcServer).noquote() << "reload:" << kept;
            result.summary += QStringLiteral("; ") + kept;
        }
    }
    // The keys file may have changed under the same name: it is read again whatever the rest.
    if (!filesRead)
        m_live->rereadFiles(m_running);
    if (result.ok)
        qCInfo(lcServer).noquote() << "reload:" << result.summary;
    else
        qCWarning(lcServer).noquote() << "reload refused:" << result.summary;
    ServiceNotifier::ready(QStringLiteral("Configuration read again"));
    return result;
}

QString Reloader::shown(const OptionValues &values, const QString &name) const
{
    const OptionValues::Entry *entry = values.entry(name);
    if (!entry || entry->texts.isEmpty()) {
        const Option *option = m_configuration->fileOptions().find(name);
        return option && option->isFlag() ? QStringLiteral("no") : QStringLiteral("unset");
    }
    return entry->texts.join(QStringLiteral(", "));
}
