#pragma once

#include <QLoggingCategory>

// The Redis store's category, "celvane.redis": Redis lost, back, reloads. Silent but for
// warnings unless the program turns it on, as celvane-server does.
Q_DECLARE_LOGGING_CATEGORY(lcRedis)
