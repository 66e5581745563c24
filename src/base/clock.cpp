// pelk_sleep, pelk_platform_specific_get_system_time*: sleeping and the UTC clock.
#include "base/clock_internal.h"

#include <glib.h>

#include <atomic>

namespace {

pelk_system_time read_system_clock() {
    g_autoptr(GDateTime) now = g_date_time_new_now_utc();
    return pelk_system_time{
        g_date_time_get_year(now), g_date_time_get_month(now),  g_date_time_get_day_of_month(now),
        g_date_time_get_hour(now), g_date_time_get_minute(now), g_date_time_get_second(now),
    };
}

std::atomic<pelk_clock_source> clock_source{read_system_clock};

}  // namespace

void pelk_platform_specific_set_clock_source(pelk_clock_source source) {
    clock_source.store(source != nullptr ? source : read_system_clock);
}

void pelk_sleep(unsigned int milliseconds) { g_usleep(static_cast<gulong>(milliseconds) * 1000); }

pelk_system_time pelk_platform_specific_get_system_time(void) { return clock_source.load()(); }

int pelk_platform_specific_get_system_time_seconds(void) { return pelk_platform_specific_get_system_time().second; }
