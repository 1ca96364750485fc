#pragma once

#include "journal/journaldatabase.h"
#include "server/moderation.h"

#include <optional>

// The bans and locks kept in a journal (tables bans and locks, schema 2; see docs/journal.md).
// They are few and change rarely, so every change rewrites both tables in one transaction of its
// own, outside the batches of edits.
class JournalModeration
{
public:
    // What the journal holds; none for a journal of schema 1, which has no such tables yet.
    // Nothing, with *error set, when reading fails.
    static std::optional<Moderation> read(JournalDatabase *database, QString *error);
    // Replaces what the journal holds.
    static bool write(JournalDatabase *database, const Moderation &moderation, QString *error);
};
