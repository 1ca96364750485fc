#pragma once

#include <QLoggingCategory>

// The recovery's logging category, "celvane.recovery": changes carried out through the control
// socket and the requests refused there. celvane-server shows its info lines.
Q_DECLARE_LOGGING_CATEGORY(lcRecovery)
