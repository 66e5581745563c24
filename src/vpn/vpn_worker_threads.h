// vpn_process_state_thread_*, vpn_std_*_thread_*: the watcher and the two readers of a child.
#pragma once

// The three threads that watch one OpenVPN child: its liveness, its standard
// output and its standard error. Started after a connect, asked to stop at
// the start of a disconnect; each ends by itself soon after.

// Each start returns 0 when the thread runs, 1 when it could not be made.
int vpn_process_state_thread_start(void);
void vpn_process_state_thread_exit(void);
int vpn_std_out_thread_start(void);
void vpn_std_out_thread_exit(void);
int vpn_std_err_thread_start(void);
void vpn_std_err_thread_exit(void);

// On the standard-output reader: the connection of the child whose output
// it handles (fixed when the reader started). 0 on every other thread.
unsigned int vpn_std_out_thread_connection(void);
