#pragma once

#include "options/option.h"

// The options of the picture file and the journal kept beside it.
OptionTable journalOptionTable();
