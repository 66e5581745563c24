// pelk_global_variable*: the program path, the app folder and this run's log paths.
#pragma once

// Process-wide paths, set once by pelk_global_variables_init() before any
// window or worker thread exists, read-only afterwards.

// Records the program file path, creates the log folders and names this
// run's three log files. The logs go in the program's folder when the
// running user may write there (the build tree, an unpacked copy), else in
// $XDG_STATE_HOME/veltra/Logs (default ~/.local/state/veltra/Logs). The
// installed client (its folder the install prefix) always uses the latter:
// nothing of a run belongs under /usr, not even a root run's logs; without
// a home it keeps none.
void pelk_global_variables_init(const char *exe_path);
// Records the program file path and its folder alone: no logs (the root
// helper keeps none).
void pelk_global_variables_init_program(const char *exe_path);

// The program file path as argument 0 gave it ("" before init).
const char *pelk_global_variable_exe_path(void);
// The folder separator found in the program path; '\0' until one was found.
char pelk_global_variable_path_separator(void);
// Full paths of this run's developer, OpenVPN-output and OpenVPN-error logs
// ("" before init).
const char *pelk_global_variable_dev_log_path(void);
const char *pelk_global_variable_out_log_path(void);
const char *pelk_global_variable_err_log_path(void);

// New texts (free()): the application folder with its trailing separator,
// and the OpenVPN program and CA certificate inside its openvpn folder.
char *pelk_global_variable_path_to_dir_new(void);
char *pelk_global_variable_path_to_openvpn_new(void);
char *pelk_global_variable_path_to_openvpn_cert_new(void);
