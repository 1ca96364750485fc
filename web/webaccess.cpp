#include "web/webaccess.h"

QByteArrayView WebAccess::bearerKey(QByteArrayView authorization)
{
    const QByteArrayView scheme("Bearer ");
    if (authorization.size() <= scheme.size() ||
        authorization.first(scheme.size()).compare(scheme, Qt::CaseInsensitive) != 0)
        return QByteArrayView();
    return authorization.sliced(scheme.size()).trimmed();
}

bool WebAccess::allowsOrigin(QByteArrayView origin, QByteArrayView host) const
{
    const QString text = QString::fromLatin1(origin);
    if (!host.isEmpty() && text.compare(QStringLiteral("http://") + QString::fromLatin1(host),
                                        Qt::CaseInsensitive) == 0)
        return true;
    for (const QString &allowed : m_origins)
        if (text.compare(allowed, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}
