#pragma once

#include "options/option.h"
#include "options/optionset.h"
#include "options/optionvalues.h"
#include "redis/redissettings.h"

// The options that keep the picture in Redis. The server and every command that reads or
// repairs a picture in Redis take the same ones.
OptionTable redisOptionTable();
// Those options alone, for a command that takes them in place of a picture file.
const OptionSet &redisOptionSet();

// The settings those options give (defaults filled in or not); false with one line in *error
// for a combination or a value that is wrong.
bool redisSettingsFrom(const OptionValues &values, RedisSettings *settings, QString *error);
// Whether they name a Redis at all (--redis, --redis-sentinel or --redis-master).
bool usesRedis(const OptionValues &values);
