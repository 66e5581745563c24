// pelk_platform_specific_set_clock_source: the clock's test hook.
#pragma once

#include "base/clock.h"

// Replaces the clock for tests; nullptr restores the system clock. Set it
// before any thread reads the clock.
using pelk_clock_source = pelk_system_time (*)(void);
void pelk_platform_specific_set_clock_source(pelk_clock_source source);
