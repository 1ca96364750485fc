#include "journal/journalmoderation.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

std::optional<Moderation> JournalModeration::read(JournalDatabase *database, QString *error)
{
    if (database->queryInteger("SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND "
                               "name IN ('bans', 'locks')") != 2)
        return Moderation();
    Moderation moderation;
    QString ignored;
    JournalDatabase::Statement bans;
    // Bans of authors came with schema 4; an older journal read as it is has none.
    if (!bans.prepare(database->handle(),
                      database->schemaVersion() >= 4
                          ? "SELECT subnet, set_by, set_ms, until_ms, reason, author FROM bans"
                          : "SELECT subnet, set_by, set_ms, until_ms, reason, NULL FROM bans")) {
        database->fail("reading the bans");
        *error = database->errorString();
        return std::nullopt;
    }
    Moderation::Change change;
    change.kind = Moderation::Change::AddBan;
    int code = SQLITE_ROW;
    while ((code = bans.step()) == SQLITE_ROW) {
        Moderation::Ban &ban = change.ban;
        ban.author = bans.isNull(5) ? QString() : bans.text(5);
        if (ban.author.isEmpty()) {
            const std::optional<Subnet> subnet = Subnet::parse(bans.text(0), &ignored);
            if (!subnet)
                continue;
            ban.subnet = *subnet;
        } else if (Moderation::isAuthorName(ban.author)) {
            ban.subnet = Subnet();
        } else {
            continue;
        }
        ban.setBy = bans.text(1);
        ban.setMs = bans.integer(2);
        ban.untilMs = bans.isNull(3) ? -1 : bans.integer(3);
        ban.reason = bans.text(4);
        moderation.apply(change, &ignored);
    }
    JournalDatabase::Statement locks;
    if (code != SQLITE_DONE ||
        !locks.prepare(database->handle(),
                       "SELECT area, except_addresses, set_by, set_ms FROM locks")) {
        database->fail("reading the bans and locks");
        *error = database->errorString();
        return std::nullopt;
    }
    change.kind = Moderation::Change::AddLock;
    while ((code = locks.step()) == SQLITE_ROW) {
        QJsonObject object{{QStringLiteral("area"), locks.text(0)},
                           {QStringLiteral("by"), locks.text(2)},
                           {QStringLiteral("at"), locks.integer(3)}};
        QJsonArray except;
        for (const QString &subnet : locks.text(1).split(QLatin1Char(' '), Qt::SkipEmptyParts))
            except.append(subnet);
        object.insert(QStringLiteral("except"), except);
        if (const auto lock = Moderation::lockFromJson(object)) {
            change.lock = *lock;
            moderation.apply(change, &ignored);
        }
    }
    if (code != SQLITE_DONE) {
        database->fail("reading the locks");
        *error = database->errorString();
        return std::nullopt;
    }
    return moderation;
}

bool JournalModeration::write(JournalDatabase *database, const Moderation &moderation,
                              QString *error)
{
    const auto failed = [&](const char *what = nullptr) {
        if (what)
            database->fail(what);
        *error = database->errorString();
        sqlite3_exec(database->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    };
    if (!database->exec("BEGIN IMMEDIATE")) {
        *error = database->errorString();
        return false;
    }
    if (!database->exec("DELETE FROM bans; DELETE FROM locks;"))
        return failed();
    JournalDatabase::Statement ban;
    if (!ban.prepare(database->handle(), "INSERT INTO bans(subnet, set_by, set_ms, until_ms, "
                                         "reason, author) VALUES (?, ?, ?, ?, ?, ?)"))
        return failed("writing the bans");
    for (const Moderation::Ban &entry : moderation.bans()) {
        if (entry.author.isEmpty())
            ban.bind(1, entry.subnet.toString()).bindNull(6);
        else
            ban.bindNull(1).bind(6, entry.author);
        ban.bind(2, entry.setBy).bind(3, entry.setMs);
        if (entry.untilMs < 0)
            ban.bindNull(4);
        else
            ban.bind(4, entry.untilMs);
        if (!ban.bind(5, entry.reason).run())
            return failed("writing the bans");
    }
    JournalDatabase::Statement lock;
    if (!lock.prepare(database->handle(), "INSERT INTO locks(area, except_addresses, set_by, "
                                          "set_ms) VALUES (?, ?, ?, ?)"))
        return failed("writing the locks");
    for (const Moderation::Lock &entry : moderation.locks()) {
        QStringList except;
        for (const Subnet &subnet : entry.except)
            except.append(subnet.toString());
        if (!lock.bind(1, Moderation::areaText(entry.area))
                 .bind(2, except.join(QLatin1Char(' ')))
                 .bind(3, entry.setBy)
                 .bind(4, entry.setMs)
                 .run())
            return failed("writing the locks");
    }
    if (!database->exec("COMMIT"))
        return failed();
    return true;
}
