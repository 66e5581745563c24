// config_generator_*: OpenVPN's configuration and credentials files.
#pragma once

#include <gio/gio.h>

#include <cstdint>

// The two files OpenVPN is started with. Both are new files named
// "pelkXXXXXX" in a folder only the client's own user (root) can enter, made
// exclusively, readable by the owner only and closed once written. Each is
// entered in the folder's run record the moment it exists, so a client that
// dies cannot leave a password on disk past its next start. The caller owns
// the returned path (g_free) and the file: it deletes the file with
// config_generator_delete_file() when the child that reads it has been
// stopped. nullptr, with one developer-log line, when the file cannot be
// made whole.

// The client configuration, with one "remote" line per port in list order.
// The server address may hold only letters, digits, '.', ':' and '-', and
// each "remote" line must stay under OpenVPN's 256-byte line limit.
char *config_generator_create_openvpn_config_file(const char *server_address, const int32_t *ports, int port_count);

// User name on the first line, password on the second.
char *config_generator_create_credentials_file(const char *user_name, const char *password);

// Writes the text's bytes, without the terminating NUL, to the stream; the
// count written, or -1.
gssize write_data(GOutputStream *stream, const char *text);

// Deletes a file the generators made and drops it from the run record.
void config_generator_delete_file(const char *path);

// Deletes the files the run record names, then the record: what a client
// that died left behind. Only plain files of ours with the generators' names
// inside the folder are touched. Call it once no OpenVPN can still read them.
void config_generator_delete_recorded_files(void);

// The private folder the files and their run record live in, made when
// missing: a descriptor (the caller closes it), or -1 with errno set when it
// is anything but a folder of the client's own user. Other records of a
// connection that the next start must read live beside the files' one.
int config_generator_files_folder_open(void);
