#include "core/core.h"
int navmon_main(int, char**) { return -1; }
