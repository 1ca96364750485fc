#pragma once

#include <QLoggingCategory>

// The server's one logging category, "celvane.server". Silent but for warnings unless the
// program turns it on: celvane-server shows its info lines (clients coming and going, refused
// messages) and, with --verbose, its debug lines (every message).
Q_DECLARE_LOGGING_CATEGORY(lcServer)
