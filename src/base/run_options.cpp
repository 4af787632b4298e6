#include "base/run_options.h"

RunOptions run_options;
