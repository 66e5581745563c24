// pelk_vpn_subprocess_*, pelk_kill_process, killProcessByName: the OpenVPN child, through the root helper.
#pragma once

#include "vpn/helper_protocol.h"

// The one OpenVPN child of the client. The root helper runs it; this side
// keeps its record and the output the helper forwards. Started and ended on
// the VPN manager thread; read by the two reader threads; its liveness
// asked by the state watcher.

// Asks the helper to write OpenVPN's two files from start's fields and run
// OpenVPN on them for start's connection, after ending the previous child
// (or, with none on record, every stray "pelk.openvpn.exe"). A failed start
// leaves no child: the state watcher then reports it as not alive.
void pelk_vpn_subprocess_new(const pelk_helper_request &start);

// New text (free()) with the next piece (at most 4096 bytes) of the child's
// standard output or error, as OpenVPN wrote it; nullptr when no child runs
// or its stream has ended. Blocks until the child writes.
char *pelk_vpn_subprocess_read_out(void);
char *pelk_vpn_subprocess_read_err(void);

// 1 while the current child runs, else 0 (also when the helper is gone).
int pelk_vpn_subprocess_is_alive(void);

// Ends the child: SIGTERM, up to 3 s, then SIGKILL; always reaped; its two
// files deleted. With no child on record, kills every stray
// "pelk.openvpn.exe" instead.
void pelk_vpn_subprocess_free(void);

// Terminates every stray OpenVPN of the client (processes of the helper's
// user named exactly like the program, or running the program the app's
// openvpn link points to under that name): SIGTERM, up to 3 s, then SIGKILL.
// Only the program's own name is ended: the helper ends no other.
void pelk_kill_process(const char *name);
void killProcessByName(const char *name);

// Writes "PELK_VPN_MANAGER: <text>(<errno>) " to the developer log.
void ErrorExit(const char *text);
