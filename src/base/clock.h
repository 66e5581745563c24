// pelk_sleep, pelk_platform_specific_get_system_time*: sleeping and the UTC clock.
#pragma once

// A UTC calendar reading of the system clock.
struct pelk_system_time {
    int year;
    int month;   // 1-12
    int day;     // 1-31
    int hour;    // 0-23
    int minute;  // 0-59
    int second;  // 0-59
};

// Blocks the calling thread for the given milliseconds.
void pelk_sleep(unsigned int milliseconds);

// The current UTC time (the system clock, never local time).
pelk_system_time pelk_platform_specific_get_system_time(void);

// The seconds field (0-59) of the current UTC time.
int pelk_platform_specific_get_system_time_seconds(void);
