// openvpn_manager_start, openvpn_manager_stop: one connection's files and OpenVPN child.
#pragma once

#include <cstdint>

// Has the root helper write the credentials and configuration files for one
// connection and start OpenVPN on them. A file that cannot be written, or a
// field the helper refuses, makes the start fail: no child, and the state
// watcher reports it as not alive. Returns 0.
int openvpn_manager_start(const char *user_name, const char *password, const char *server_address, const int32_t *ports,
                          int port_count);

// Takes back the tunnel's name servers, then ends the OpenVPN child (or any
// stray one). The first call of a run (the one start-up makes) also deletes
// the files, and takes back the name servers, that an earlier client that
// died left on record. Returns 0.
int openvpn_manager_stop(void);

// The disconnect has ended (or the connection was given up at log out): the
// leak block set with OpenVPN's start goes. Returns 0.
int openvpn_manager_unblock(void);
