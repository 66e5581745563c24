#pragma once

// Runs one public-address lookup on a thread of its own, which then ends.
void public_ip_updater_thread_start(void);
