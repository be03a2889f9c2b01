#include "support/TakTestEnv.h"
