#pragma once

#include "options/option.h"

// The options that keep the picture in Redis. The server and every command that reads or
// repairs a picture in Redis take the same ones.
OptionTable redisOptionTable();
