// pelk_vpn_controller_*: the watchers started and stopped, and OpenVPN's output turned into events.
#pragma once

// Between the worker threads and the main window controller: starts and
// stops the watchers, and turns OpenVPN's output into events.

// Manager thread, end of a connect: the watcher and the two readers.
void pelk_vpn_controller_on_vpn_started(void);
// Manager thread, start of a disconnect: stop requests to all three.
void pelk_vpn_controller_on_vpn_stoped(void);
// Reader threads: one piece of output each.
void pelk_vpn_controller_on_process_std_out_update(const char *piece);
void pelk_vpn_controller_on_process_std_err_update(const char *piece);
