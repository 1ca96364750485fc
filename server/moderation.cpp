#include "server/moderation.h"

#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/picture.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace {

QString when(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

bool anyContains(const QList<Subnet> &subnets, const QHostAddress &address)
{
    return std::any_of(subnets.begin(), subnets.end(),
                       [&](const Subnet &subnet) { return subnet.contains(address); });
}

} // namespace

bool Moderation::Ban::holds(const QHostAddress &address, qint64 nowMs) const
{
    // An author's ban has a null subnet, which contains no address.
    return isInForce(nowMs) && subnet.contains(address);
}

bool Moderation::Ban::holdsAuthor(const QString &name, qint64 nowMs) const
{
    return !author.isEmpty() && author == name && isInForce(nowMs);
}

QString Moderation::Ban::target() const
{
    return author.isEmpty() ? subnet.toString() : QStringLiteral("author %1").arg(author);
}

bool Moderation::Ban::sameTarget(const Ban &other) const
{
    return author == other.author && subnet == other.subnet;
}

bool Moderation::Ban::operator==(const Ban &other) const
{
    return sameTarget(other) && setBy == other.setBy && setMs == other.setMs &&
           untilMs == other.untilMs && reason == other.reason;
}

bool Moderation::isAuthorName(const QString &text)
{
    if (text.isEmpty() || text.size() > 32)
        return false;
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
               (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_') ||
               c == QLatin1Char('.') || c == QLatin1Char('-');
    });
}

bool Moderation::Lock::holds(const QHostAddress &address) const
{
    return !address.isNull() && !anyContains(except, address);
}

bool Moderation::Lock::operator==(const Lock &other) const
{
    return area == other.area && except == other.except && setBy == other.setBy &&
           setMs == other.setMs;
}

bool Moderation::checkAuthorName(const QString &text, QString *error)
{
    if (isAuthorName(text))
        return true;
    *error = QStringLiteral("--author needs an editor's NAME (1 to 32 letters, digits, '_', '.' "
                            "or '-'), not \"%1\"")
                 .arg(text);
    return false;
}

std::optional<QRect> Moderation::parseArea(const QString &text, const CanvasFormat &format,
                                           QString *error)
{
    const QStringList parts = text.split(QLatin1Char(','));
    int values[4] = {};
    bool ok = parts.size() == 4;
    for (qsizetype i = 0; ok && i < 4; ++i) {
        const QString part = parts.at(i).trimmed();
        values[i] = part.toInt(&ok);
        ok = ok && !part.isEmpty() && part.front().isDigit();
    }
    if (!ok) {
        *error = QStringLiteral("--area needs X,Y,W,H (four whole numbers), not \"%1\"").arg(text);
        return std::nullopt;
    }
    const QRect area(values[0], values[1], values[2], values[3]);
    const QRect grid(0, 0, format.columns, format.rows);
    if (area.isEmpty() || !grid.contains(area)) {
        *error = QStringLiteral("--area %1 is not inside the grid of %2 columns and %3 rows")
                     .arg(text)
                     .arg(format.columns)
                     .arg(format.rows);
        return std::nullopt;
    }
    return area;
}

std::optional<qint64> Moderation::parseDuration(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,6})([smhd])$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch() || match.captured(1).toLongLong() == 0)
        return std::nullopt;
    static constexpr qint64 unitMs[] = {1000, 60 * 1000, 3600 * 1000, 86400 * 1000};
    return match.captured(1).toLongLong() *
           unitMs[QStringLiteral("smhd").indexOf(match.captured(2))];
}

QString Moderation::areaText(const QRect &area)
{
    if (area.isNull())
        return QString();
    return QStringLiteral("%1,%2,%3,%4")
        .arg(area.x())
        .arg(area.y())
        .arg(area.width())
        .arg(area.height());
}

bool Moderation::apply(const Change &change, QString *error)
{
    switch (change.kind) {
    case Change::AddBan: {
        const auto same = std::find_if(m_bans.begin(), m_bans.end(),
                                       [&](const Ban &ban) { return ban.sameTarget(change.ban); });
        if (same != m_bans.end())
            *same = change.ban;
        else
            m_bans.push_back(change.ban);
        return true;
    }
    case Change::RemoveBan: {
        const auto same = std::find_if(m_bans.begin(), m_bans.end(),
                                       [&](const Ban &ban) { return ban.sameTarget(change.ban); });
        if (same == m_bans.end()) {
            *error = QStringLiteral("%1 is not banned").arg(change.ban.target());
            return false;
        }
        m_bans.erase(same);
        return true;
    }
    case Change::AddLock: {
        const auto same = std::find_if(m_locks.begin(), m_locks.end(), [&](const Lock &lock) {
            return lock.area == change.lock.area;
        });
        if (same != m_locks.end())
            *same = change.lock;
        else
            m_locks.push_back(change.lock);
        return true;
    }
    case Change::RemoveLock: {
        const auto same = std::find_if(m_locks.begin(), m_locks.end(), [&](const Lock &lock) {
            return lock.area == change.lock.area;
        });
        if (same == m_locks.end()) {
            *error = change.lock.area.isNull()
                         ? QStringLiteral("the whole picture is not locked (see locks)")
                         : QStringLiteral("no lock on the area %1 (see locks)")
                               .arg(areaText(change.lock.area));
            return false;
        }
        m_locks.erase(same);
        return true;
    }
    }
    return false;
}

bool Moderation::dropExpired(qint64 nowMs)
{
    const auto end = std::remove_if(m_bans.begin(), m_bans.end(), [nowMs](const Ban &ban) {
        return ban.untilMs >= 0 && nowMs >= ban.untilMs;
    });
    const bool dropped = end != m_bans.end();
    m_bans.erase(end, m_bans.end());
    return dropped;
}

const Moderation::Ban *Moderation::banFor(const QHostAddress &address, qint64 nowMs) const
{
    if (address.isNull())
        return nullptr;
    for (const Ban &ban : m_bans)
        if (ban.holds(address, nowMs))
            return &ban;
    return nullptr;
}

bool Moderation::bansAuthor(const QString &name, qint64 nowMs) const
{
    if (name.isEmpty())
        return false;
    return std::any_of(m_bans.begin(), m_bans.end(),
                       [&](const Ban &ban) { return ban.holdsAuthor(name, nowMs); });
}

Moderation::Standing Moderation::standingOf(const QHostAddress &sender, const QString &author) const
{
    Standing standing;
    if (sender.isNull())
        return standing;
    for (const Ban &ban : m_bans)
        if (ban.subnet.contains(sender) || (!author.isEmpty() && ban.author == author))
            standing.bannedUntil = ban.untilMs < 0 || standing.bannedUntil < 0
                                       ? -1
                                       : std::max(standing.bannedUntil, ban.untilMs);
    for (int i = 0; i < int(m_locks.size()); ++i)
        if (m_locks[size_t(i)].holds(sender)) {
            standing.locks.push_back(i);
            standing.wholeLocked = standing.wholeLocked || m_locks[size_t(i)].area.isNull();
        }
    return standing;
}

bool Moderation::isLocked(const Standing &standing, int x, int y) const
{
    if (standing.wholeLocked)
        return true;
    return std::any_of(standing.locks.begin(), standing.locks.end(),
                       [&](int lock) { return m_locks[size_t(lock)].area.contains(x, y); });
}

Moderation::Verdict Moderation::judge(const QHostAddress &sender, quint8 kind,
                                      QByteArrayView payload, const CanvasFormat &format,
                                      qint64 nowMs) const
{
    return judge(standingOf(sender), kind, payload, format, [nowMs] { return nowMs; });
}

Moderation::Verdict Moderation::judge(const Standing &standing, quint8 kind, QByteArrayView payload,
                                      const CanvasFormat &format,
                                      const std::function<qint64()> &nowMs) const
{
    if (standing.bannedUntil != 0 && (standing.bannedUntil < 0 || nowMs() < standing.bannedUntil))
        return Banned;
    if (standing.locks.empty())
        return Allowed;
    if (kind == Protocol::RowData) {
        const auto row = Protocol::decodeRowData(payload);
        if (!row || row->row >= format.rows || row->count > format.columns)
            return Allowed;
        for (int x = 0; x < row->count; ++x)
            if (isLocked(standing, x, row->row))
                return Locked;
        return Allowed;
    }
    if (kind != Protocol::Command)
        return Allowed;
    const auto command = Protocol::decodeCommand(payload);
    if (!command)
        return Allowed;
    switch (command->opcode) {
    case Protocol::SetCellCommand:
        return command->a < format.columns && command->b < format.rows &&
                       isLocked(standing, command->a, command->b)
                   ? Locked
                   : Allowed;
    case Protocol::SetColorsCommand:
        return standing.wholeLocked ? Locked : Allowed;
    case Protocol::ClearCommand:
        return standing.wholeLocked ? Locked : ClearAround;
    default:
        return Allowed;
    }
}

QList<QByteArray> Moderation::clearAround(const QHostAddress &sender, const Picture &picture) const
{
    const Standing standing = standingOf(sender);
    QList<QByteArray> rows;
    const int columns = picture.format().columns;
    QByteArray row(columns, Qt::Uninitialized);
    for (int y = 0; y < picture.format().rows; ++y) {
        bool changed = false;
        for (int x = 0; x < columns; ++x) {
            const quint8 now = picture.cell(x, y);
            const bool spared = now == EmptyCell || isLocked(standing, x, y);
            row[x] = char(spared ? now : EmptyCell);
            changed = changed || !spared;
        }
        if (changed)
            rows.append(Protocol::encodeRowData(quint8(y), quint8(columns),
                                                reinterpret_cast<const quint8 *>(row.data())));
    }
    return rows;
}

QJsonObject Moderation::toJson(const Ban &ban)
{
    QJsonObject object{{QStringLiteral("by"), ban.setBy},
                       {QStringLiteral("at"), ban.setMs},
                       {QStringLiteral("until"), ban.untilMs},
                       {QStringLiteral("reason"), ban.reason}};
    if (ban.author.isEmpty())
        object.insert(QStringLiteral("subnet"), ban.subnet.toString());
    else
        object.insert(QStringLiteral("author"), ban.author);
    return object;
}

QJsonObject Moderation::toJson(const Lock &lock)
{
    QJsonArray except;
    for (const Subnet &subnet : lock.except)
        except.append(subnet.toString());
    return {{QStringLiteral("area"), areaText(lock.area)},
            {QStringLiteral("except"), except},
            {QStringLiteral("by"), lock.setBy},
            {QStringLiteral("at"), lock.setMs}};
}

std::optional<Moderation::Ban> Moderation::banFromJson(const QJsonObject &object)
{
    Ban ban;
    ban.author = object.value(QLatin1String("author")).toString();
    if (ban.author.isEmpty()) {
        QString error;
        const std::optional<Subnet> subnet =
            Subnet::parse(object.value(QLatin1String("subnet")).toString(), &error);
        if (!subnet)
            return std::nullopt;
        ban.subnet = *subnet;
    } else if (!isAuthorName(ban.author)) {
        return std::nullopt;
    }
    ban.setBy = object.value(QLatin1String("by")).toString();
    ban.setMs = qint64(object.value(QLatin1String("at")).toDouble());
    ban.untilMs = qint64(object.value(QLatin1String("until")).toDouble(-1));
    ban.reason = object.value(QLatin1String("reason")).toString();
    return ban;
}

std::optional<Moderation::Lock> Moderation::lockFromJson(const QJsonObject &object)
{
    Lock lock;
    const QString area = object.value(QLatin1String("area")).toString();
    if (!area.isEmpty()) {
        // Checked against the largest grid a format has; each store checks its own on use.
        const QStringList parts = area.split(QLatin1Char(','));
        if (parts.size() != 4)
            return std::nullopt;
        lock.area = QRect(parts.at(0).toInt(), parts.at(1).toInt(), parts.at(2).toInt(),
                          parts.at(3).toInt());
        if (lock.area.isEmpty() || lock.area.x() < 0 || lock.area.y() < 0 ||
            lock.area.right() > 255 || lock.area.bottom() > 255)
            return std::nullopt;
    }
    QString error;
    for (const QJsonValue value : object.value(QLatin1String("except")).toArray()) {
        const std::optional<Subnet> subnet = Subnet::parse(value.toString(), &error);
        if (!subnet)
            return std::nullopt;
        lock.except.append(*subnet);
    }
    lock.setBy = object.value(QLatin1String("by")).toString();
    lock.setMs = qint64(object.value(QLatin1String("at")).toDouble());
    return lock;
}

QByteArray Moderation::encode(const Change &change)
{
    static const char *const kinds[] = {"ban", "unban", "lock", "unlock"};
    const bool isBan = change.kind == Change::AddBan || change.kind == Change::RemoveBan;
    return QJsonDocument(QJsonObject{{QStringLiteral("change"), QLatin1String(kinds[change.kind])},
                                     {isBan ? QStringLiteral("ban") : QStringLiteral("lock"),
                                      isBan ? toJson(change.ban) : toJson(change.lock)}})
        .toJson(QJsonDocument::Compact);
}

std::optional<Moderation::Change> Moderation::decode(QByteArrayView bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QString kind = document.object().value(QLatin1String("change")).toString();
    Change change;
    if (kind == QLatin1String("ban") || kind == QLatin1String("unban")) {
        change.kind = kind == QLatin1String("ban") ? Change::AddBan : Change::RemoveBan;
        const auto ban = banFromJson(document.object().value(QLatin1String("ban")).toObject());
        if (!ban)
            return std::nullopt;
        change.ban = *ban;
        return change;
    }
    if (kind == QLatin1String("lock") || kind == QLatin1String("unlock")) {
        change.kind = kind == QLatin1String("lock") ? Change::AddLock : Change::RemoveLock;
        const auto lock = lockFromJson(document.object().value(QLatin1String("lock")).toObject());
        if (!lock)
            return std::nullopt;
        change.lock = *lock;
        return change;
    }
    return std::nullopt;
}

QString Moderation::formatBans() const
{
    if (m_bans.empty())
        return QStringLiteral("no bans\n");
    QString text;
    for (const Ban &ban : m_bans)
        text +=
            QStringLiteral("%1  by %2 at %3  %4%5\n")
                .arg(ban.target(), ban.setBy, when(ban.setMs),
                     ban.untilMs < 0 ? QStringLiteral("until lifted")
                                     : QStringLiteral("until %1").arg(when(ban.untilMs)),
                     ban.reason.isEmpty() ? QString() : QStringLiteral("  (%1)").arg(ban.reason));
    return text;
}

QString Moderation::formatLocks() const
{
    if (m_locks.empty())
        return QStringLiteral("no locks\n");
    QString text;
    for (const Lock &lock : m_locks) {
        QStringList except;
        for (const Subnet &subnet : lock.except)
            except.append(subnet.toString());
        text +=
            QStringLiteral("%1  by %2 at %3%4\n")
                .arg(lock.area.isNull() ? QStringLiteral("whole picture")
                                        : QStringLiteral("area %1").arg(areaText(lock.area)),
                     lock.setBy, when(lock.setMs),
                     except.isEmpty()
                         ? QString()
                         : QStringLiteral("  except %1").arg(except.join(QStringLiteral(", "))));
    }
    return text;
}
