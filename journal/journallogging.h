#pragma once

#include <QLoggingCategory>

// The journal's logging category, "celvane.journal": journals created, refused or failing, and
// the pictures brought up to date from one. celvane-server shows its info lines.
Q_DECLARE_LOGGING_CATEGORY(lcJournal)
