#pragma once

#include "options/option.h"

// The options of the program's entry itself: the configuration file, and exporting a picture
// instead of serving it. They are read from the command line only, never from the file.
OptionTable entryOptionTable();
