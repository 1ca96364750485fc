#include "redis/redissettings.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>

bool RedisSettings::parseAddress(const QString &text, const QString &option, Address *address,
                                 QString *error)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = colon > 0 ? text.mid(colon + 1).toUInt(&ok) : 0;
    if (!ok || port < 1 || port > 65535) {
        *error = QStringLiteral("--%1 needs HOST:PORT, not \"%2\"").arg(option, text);
        return false;
    }
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QHostAddress resolved(host);
    if (resolved.isNull()) {
        const QHostInfo info = QHostInfo::fromName(host);
        if (info.addresses().isEmpty()) {
            *error =
                QStringLiteral("--%1: cannot resolve %2: %3").arg(option, host, info.errorString());
            return false;
        }
        resolved = info.addresses().constFirst();
    }
    address->host = resolved.toString();
    address->port = quint16(port);
    return true;
}

bool RedisSettings::fromTexts(const Texts &texts, RedisSettings *settings, QString *error)
{
    if (!texts.address.isEmpty() && !texts.sentinels.isEmpty()) {
        *error = QStringLiteral("--redis and --redis-sentinel exclude each other");
        return false;
    }
    if (texts.sentinels.isEmpty() != texts.masterName.isEmpty()) {
        *error = QStringLiteral("--redis-sentinel and --redis-master go together");
        return false;
    }
    if (!texts.address.isEmpty()) {
        Address address;
        if (!parseAddress(texts.address, QStringLiteral("redis"), &address, error))
            return false;
        settings->host = address.host;
        settings->port = address.port;
    }
    settings->sentinels.clear();
    if (!texts.sentinels.isEmpty()) {
        for (const QString &text : texts.sentinels.split(QLatin1Char(','))) {
            Address address;
            if (!parseAddress(text.trimmed(), QStringLiteral("redis-sentinel"), &address, error))
                return false;
            settings->sentinels.append(address);
        }
        settings->masterName = texts.masterName.toUtf8();
    }
    settings->key = texts.key.toUtf8();
    if (settings->key.isEmpty()) {
        *error = QStringLiteral("--redis-key needs a name");
        return false;
    }
    if (!texts.passwordFile.isEmpty()) {
        QFile file(texts.passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        settings->password = file.readLine().trimmed();
    }
    if (!texts.replicas.isEmpty()) {
        bool ok = false;
        settings->replicas = texts.replicas.toInt(&ok);
        if (!ok || settings->replicas < 0 || settings->replicas > MostReplicas) {
            *error = QStringLiteral("--redis-replicas needs a number from 0 to %1, not \"%2\"")
                         .arg(MostReplicas)
                         .arg(texts.replicas);
            return false;
        }
    }
    return true;
}
