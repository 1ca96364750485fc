#include "journal/journaloptions.h"

#include "journal/journalstore.h"
#include "options/optionparsers.h"

OptionTable journalOptionTable()
{
    using namespace OptionParsers;
    return {
        {QStringLiteral("picture"), QStringLiteral("FILE"), QString(),
         QStringLiteral("Load the picture from FILE if it exists (its format wins over --format) "
                        "and keep FILE up to date."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("no-history"), QString(), QString(),
         QStringLiteral("Keep no journal beside the picture file: only its latest picture."),
         Option::NeedsRestart, false, nullptr},
        {QStringLiteral("history-keep"), QStringLiteral("DAYS"),
         QString::number(JournalStore::Options().keepDays),
         QStringLiteral("Days of edits the journal keeps (%1); 0 keeps them all.")
             .arg(JournalStore::Options().keepDays),
         Option::NeedsRestart, false,
         integer(0, 100000, QStringLiteral("needs a whole number of days"))},
        {QStringLiteral("history-max-size"), QStringLiteral("SIZE"), QStringLiteral("256M"),
         QStringLiteral("Most the journal may hold, with K, M or G (256M); 0 sets no bound."),
         Option::NeedsRestart, false,
         byteSize(QStringLiteral("needs a size such as 512K, 256M or 2G"))},
    };
}
