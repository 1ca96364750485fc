#include "tests/support/testsupport.h"
