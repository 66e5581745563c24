// public_ip_updater_thread_start*: one public-address lookup on a thread of its own.
#pragma once

// Runs one public-address lookup on a thread of its own, which then ends.
// For no connection: it can only learn the address outside the tunnel.
void public_ip_updater_thread_start(void);
// The same for the check of connection's tunnel (see the main view model).
void public_ip_updater_thread_start_for_connection(unsigned int connection);
