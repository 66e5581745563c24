// vpn_manager_thread_*: the manager's waits and command word, for the tests.
#pragma once

// Tests shorten the engine's fixed waits by this divisor (1: real time).
// Set it before the manager thread starts.
void vpn_manager_thread_set_time_divisor(unsigned int divisor);
// Sleeps milliseconds divided by the divisor.
void vpn_manager_thread_sleep(unsigned int milliseconds);

// 1 while a job runs.
int vpn_manager_thread_is_busy(void);
// 0 connect, 1 disconnect, 2 idle.
int vpn_manager_thread_command(void);
// Back to idle, as if the last command had been carried out.
void vpn_manager_thread_reset_command(void);
