#include "serverapp/pictureexport.h"

#include "journal/journalhistory.h"
#include "journal/moment.h"
#include "options/optionvalues.h"
#include "redis/redisoptions.h"
#include "redis/redispicturehistory.h"
#include "server/picturefile.h"
#include "server/picturerenderer.h"
#include "serverapp/exitstatus.h"
#include "serverapp/picturehome.h"

#include <QDateTime>

#include <optional>

using ExitStatus::fail;

namespace {

// TIME as --at takes it; nothing, said on standard error, for anything else.
std::optional<qint64> atMoment(const QString &text)
{
    const std::optional<qint64> moment = parseMoment(text, QDateTime::currentDateTime());
    if (!moment)
        fail(ExitStatus::Usage, QStringLiteral("--at needs an ISO 8601 date and time, a time of "
                                               "day (14:05) or a span ago (90s, 10m, 2h, 3d), "
                                               "not \"%1\"")
                                    .arg(text));
    return moment;
}

int write(const Picture &picture, const OptionValues &values)
{
    const QString pngPath = values.text("export-png");
    if (!PictureRenderer::render(picture, values.value("export-size").toSize())
             .save(pngPath, "PNG"))
        return fail(ExitStatus::PictureFile,
                    QStringLiteral("%1: cannot write the image").arg(pngPath));
    return ExitStatus::Ok;
}

// The picture as it stood at a moment, from a kept history.
int exportAt(PictureHistory *history, qint64 moment, const OptionValues &values)
{
    const std::optional<quint64> seq = history->seqAt(moment);
    const QString shown = QDateTime::fromMSecsSinceEpoch(moment).toString(Qt::ISODate);
    if (!seq)
        return fail(
            ExitStatus::Usage,
            QStringLiteral("%1 is before the oldest kept moment, %2")
                .arg(shown,
                     QDateTime::fromMSecsSinceEpoch(history->oldestMs()).toString(Qt::ISODate)));
    const std::optional<Picture> picture = history->pictureAt(*seq);
    if (!picture)
        return fail(ExitStatus::PictureFile, history->errorString());
    if (const int status = write(*picture, values))
        return status;
    qInfo("celvane-server: exported the picture at %s (after edit %llu)", qPrintable(shown),
          static_cast<unsigned long long>(*seq));
    return ExitStatus::Ok;
}

int exportFromRedis(const OptionValues &values)
{
    const std::optional<RedisPictureStore::Settings> redis = PictureHome::redisSettings(values);
    if (!redis)
        return ExitStatus::Usage;
    std::optional<qint64> moment;
    if (values.isSet("at") && !(moment = atMoment(values.text("at"))))
        return ExitStatus::Usage;
    RedisPictureHistory history(*redis);
    if (!history.open())
        return fail(ExitStatus::PictureFile, history.errorString());
    if (moment)
        return exportAt(&history, *moment, values);
    const std::optional<Picture> current = history.pictureAt(history.lastSeq());
    if (!current)
        return fail(ExitStatus::PictureFile, history.errorString());
    return write(*current, values);
}

int exportFromJournal(const QString &picturePath, const OptionValues &values)
{
    const std::optional<qint64> moment = atMoment(values.text("at"));
    if (!moment)
        return ExitStatus::Usage;
    const QString journalPath = JournalStore::journalPathFor(picturePath);
    JournalHistory history(journalPath);
    const JournalDatabase::OpenResult opened = history.open();
    if (opened == JournalDatabase::Missing)
        return fail(
            ExitStatus::Usage,
            QStringLiteral("%1: no journal, so no earlier picture is kept").arg(journalPath));
    if (opened != JournalDatabase::Opened)
        return fail(ExitStatus::PictureFile, history.errorString());
    return exportAt(&history, *moment, values);
}

} // namespace

int PictureExport::run(const OptionValues &values)
{
    if (usesRedis(values))
        return exportFromRedis(values);
    Picture picture = PictureHome::initialPicture(values);
    if (values.isSet("picture")) {
        const QString path = PictureHome::settledPath(values.text("picture"));
        if (path.isEmpty())
            return ExitStatus::PictureFile;
        if (values.isSet("at"))
            return exportFromJournal(path, values);
        PictureFile file(path);
        if (file.load(&picture) == PictureFile::Refused)
            return fail(
                ExitStatus::PictureFile,
                QStringLiteral("%1; refusing to use or overwrite it").arg(file.errorString()));
    }
    return write(picture, values);
}
