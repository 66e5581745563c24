// pelk_vpn_subprocess_*, pelk_kill_process, killProcessByName: the OpenVPN child process.
#pragma once

// The one OpenVPN child of the client, with its standard streams on pipes.
// Started and ended on the VPN manager thread; read by the two reader
// threads; its liveness asked by the state watcher.

// Starts program with the three files on its command line, after ending the
// previous child (or, with none on record, every stray "pelk.openvpn.exe").
// The child owns config_path and credentials_path from here on: they are
// deleted once it has been stopped. A failed start deletes them at once.
void pelk_vpn_subprocess_new(const char *program_path, const char *config_path, const char *cert_path,
                             const char *credentials_path);

// New text (free()) with the next piece (at most 4096 bytes) of the child's
// standard output or error; nullptr when no child runs or its pipe is done.
// Blocks until the child writes.
char *pelk_vpn_subprocess_read_out(void);
char *pelk_vpn_subprocess_read_err(void);

// 1 while the current child runs, else 0.
int pelk_vpn_subprocess_is_alive(void);

// Ends the child: SIGTERM, up to 3 s, then SIGKILL; always reaped. With no
// child on record, kills every stray "pelk.openvpn.exe" instead.
void pelk_vpn_subprocess_free(void);

// Terminates every process of the client's own user whose program file
// name is exactly name (or that runs the program the app's openvpn link
// points to under that name): SIGTERM, up to 3 s, then SIGKILL, each through
// a pidfd held from the match on, so a reused PID is never signalled.
void pelk_kill_process(const char *name);
void killProcessByName(const char *name);

// Writes "PELK_VPN_MANAGER: <text>(<errno>) " to the developer log.
void ErrorExit(const char *text);
