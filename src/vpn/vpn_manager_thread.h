// vpn_manager_thread_*: the thread that connects and disconnects.
#pragma once

struct http_response;

// The thread that connects and disconnects, one job at a time, for the
// whole run. The GUI thread hands it jobs through a command word; there is
// no queue: a later command replaces one not yet picked up.

// Starts the manager thread; 0 when it runs, 1 when it could not be made.
int vpn_manager_thread_start(void);

// Asks for a connect with copies of the three texts. Blocks the caller
// while a job runs, and for one poll period after posting.
void vpn_manager_thread_invoke_vpn_start(const char *user_name, const char *password, const char *server_address);
// Asks for a disconnect; returns at once.
void vpn_manager_thread_invoke_vpn_stop(void);
// Log out: asks for a disconnect (or lets the one under way go on) whose
// steps are no longer reported upward, so nothing of it reaches the next
// sign-in's window. Returns at once.
void vpn_manager_thread_invoke_vpn_stop_for_log_out(void);

// The number of the OpenVPN child the manager started last (1, 2, ...; 0
// before the first): what a tunnel check is made for.
unsigned int vpn_manager_thread_connection(void);

// Installs the ports of the server being connected; takes the array (free()).
void vpn_manager_thread_on_server_ports_loaded(int *ports, int count);

// Reply handler of the ports request (manager thread).
int on_http_response_server_ports(http_response *response);
