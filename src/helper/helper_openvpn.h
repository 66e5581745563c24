// pelk_helper_openvpn_*: the OpenVPN child in the root helper: started, read, ended; strays ended by name.
#pragma once

#include "vpn/helper_protocol.h"

#include <cstddef>

// The one OpenVPN child of the helper, with its standard streams on pipes.
// Started, asked and ended on the helper's request thread; each of its two
// output streams is read by a thread of its own for as long as it is open.

// The program's file name, the one name a stray is ended by.
extern const char *const pelk_helper_openvpn_program_name;

// Receives every piece of a child's output, on that stream's reader thread,
// in order; a piece of length 0 says the stream has ended. connection is
// the one the child was started for.
using pelk_helper_openvpn_sink = void (*)(unsigned int connection, pelk_helper_stream stream, const char *piece,
                                          size_t length);
// Set once, before the first start.
void pelk_helper_openvpn_set_sink(pelk_helper_openvpn_sink sink);

// Starts program with the three files on its command line for connection,
// after ending the previous child (or, with none on record, every stray
// one). The child owns config_path and credentials_path from here on: they
// are deleted once it has been stopped, and at once when it cannot start.
// The child's process id, or -1 for a failed start.
int pelk_helper_openvpn_start(unsigned int connection, const char *program_path, const char *config_path,
                              const char *cert_path, const char *credentials_path);

// 1 while the current child runs, else 0.
int pelk_helper_openvpn_is_alive(void);

// Ends the child: SIGTERM, up to 3 s, then SIGKILL; always reaped. With no
// child on record, ends every stray one instead.
void pelk_helper_openvpn_stop(void);

// Terminates every process of the helper's own user whose program file name
// is exactly name (or that runs the program the app's openvpn link points to
// under that name): SIGTERM, up to 3 s, then SIGKILL, each through a pidfd
// held from the match on, so a reused PID is never signalled.
void pelk_helper_openvpn_kill_by_name(const char *name);
