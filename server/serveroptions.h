#pragma once

#include "options/option.h"

// The options of the picture server itself: where it listens, the picture it starts with, and
// the limits it puts on its clients.
OptionTable serverOptionTable();
