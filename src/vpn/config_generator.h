#pragma once

#include <gio/gio.h>

#include <cstdint>

// The two files OpenVPN is started with. Both are new temporary files named
// "pelkXXXXXX" in the user's temporary folder, readable by the owner only and
// closed once written. The caller owns the returned path (g_free) and the
// file: it deletes the file when the child that reads it has been stopped.
// nullptr, with one developer-log line, when the file cannot be made whole.

// The client configuration, with one "remote" line per port in list order.
char *config_generator_create_openvpn_config_file(const char *server_address, const int32_t *ports, int port_count);

// User name on the first line, password on the second.
char *config_generator_create_credentials_file(const char *user_name, const char *password);

// Writes the text's bytes, without the terminating NUL, to the stream; the
// count written, or -1.
gssize write_data(GOutputStream *stream, const char *text);
