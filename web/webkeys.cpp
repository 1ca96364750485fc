#include "web/webkeys.h"

#include "server/moderation.h"

#include <QFile>
#include <QSet>

#include <algorithm>

#include <sys/stat.h>

namespace {

bool isKeyChar(char c)
{
    return uchar(c) > 0x20 && uchar(c) < 0x7f;
}

// Whether a and b are equal, in a time that depends only on the length of a: every byte of a is
// looked at, whatever the bytes before it were.
bool sameBytes(QByteArrayView a, QByteArrayView b)
{
    quint32 difference = quint32(a.size() ^ b.size());
    const qsizetype shorter = b.size();
    for (qsizetype i = 0; i < a.size(); ++i) {
        const uchar other = shorter > 0 ? uchar(b.at(i < shorter ? i : 0)) : 0;
        difference |= quint32(uchar(a.at(i)) ^ other);
    }
    return difference == 0;
}

} // namespace

std::optional<WebKeys> WebKeys::parse(QByteArrayView text, QString *problem)
{
    WebKeys keys;
    QSet<QString> names;
    QSet<QByteArray> seenKeys;
    const QList<QByteArray> lines = text.toByteArray().split('\n');
    for (qsizetype number = 1; number <= lines.size(); ++number) {
        const QByteArray line = lines.at(number - 1).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const auto fail = [&](const QString &what) {
            *problem = QStringLiteral("line %1: %2").arg(number).arg(what);
            return std::nullopt;
        };
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() < 2 || words.size() > 3)
            return fail(QStringLiteral("needs NAME KEY [moderator]"));
        // The names a ban or the history can name.
        if (!Moderation::isAuthorName(QString::fromLatin1(words.at(0))))
            return fail(
                QStringLiteral("a NAME is 1 to %1 of A-Z a-z 0-9 _ . -").arg(MaxNameLength));
        const QByteArray &key = words.at(1);
        if (key.size() < MinKeyLength || !std::all_of(key.begin(), key.end(), isKeyChar))
            return fail(QStringLiteral("the KEY of %1 needs at least %2 visible ASCII characters")
                            .arg(QString::fromLatin1(words.at(0)))
                            .arg(MinKeyLength));
        if (words.size() == 3 && words.at(2) != "moderator")
            return fail(QStringLiteral("the third word may only be \"moderator\""));
        const QString name = QString::fromLatin1(words.at(0));
        if (names.contains(name))
            return fail(QStringLiteral("%1 is named twice").arg(name));
        if (seenKeys.contains(key))
            return fail(QStringLiteral("the KEY of %1 is given twice").arg(name));
        names.insert(name);
        seenKeys.insert(key);
        keys.m_entries.push_back({key, WebEditor{name, words.size() == 3}});
    }
    return keys;
}

std::optional<WebKeys> WebKeys::load(const QString &path, QString *problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    // The file as opened, not its name again: it cannot be swapped in between.
    struct stat status = {};
    if (::fstat(file.handle(), &status) != 0 || !S_ISREG(status.st_mode)) {
        *problem = QStringLiteral("%1 is not a plain file").arg(path);
        return std::nullopt;
    }
    if (status.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) {
        *problem = QStringLiteral("%1 may be read or written by others (mode %2): it holds "
                                  "keys; chmod 600 it")
                       .arg(path)
                       .arg(status.st_mode & 0777, 3, 8, QLatin1Char('0'));
        return std::nullopt;
    }
    if (status.st_size > MaxFileSize) {
        *problem = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(MaxFileSize);
        return std::nullopt;
    }
    const QByteArray text = file.read(MaxFileSize + 1);
    QString why;
    std::optional<WebKeys> keys = parse(text, &why);
    if (!keys)
        *problem = QStringLiteral("%1: %2").arg(path, why);
    return keys;
}

std::optional<WebEditor> WebKeys::find(QByteArrayView key) const
{
    // Every key is compared, all of it, whether or not one has matched already.
    const Entry *found = nullptr;
    for (const Entry &entry : m_entries) {
        const bool same = sameBytes(key, entry.key);
        found = same ? &entry : found;
    }
    if (key.size() < MinKeyLength || !found)
        return std::nullopt;
    return found->editor;
}
