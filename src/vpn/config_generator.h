// config_generator_*: OpenVPN's configuration and credentials files.
#pragma once

#include <sys/types.h>

#include <cstdint>

// The two files OpenVPN is started with. Both are new files named
// "pelkXXXXXX" in a folder only the client's own user (root) can enter
// (/run/veltra: never on disk), made exclusively, readable by the owner only
// and closed once written. Each is entered in the run record (in
// /var/lib/veltra, which outlives a reboot) the moment it exists, so a
// client that dies cannot leave a password behind past its next start. The caller owns
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

// Writes the text's bytes, without the terminating NUL, to fd; the count
// written, or -1.
ssize_t write_data(int fd, const char *text);

// Whether address can stand as one word of a "remote" line: letters, digits,
// '.', ':' and '-' only, and at least one.
bool config_generator_is_server_address(const char *address);

// Deletes a file the generators made and drops it from the run record.
void config_generator_delete_file(const char *path);

// Deletes the files the run record names, then the record: what a client
// that died left behind. Only plain files of ours with the generators' names
// inside the files' folder are touched. Call it once no OpenVPN can still
// read them.
void config_generator_delete_recorded_files(void);

// The private folder the run record lives in, made when missing: a
// descriptor (the caller closes it), or -1 with errno set when it is
// anything but a folder of the client's own user. Other records of a
// connection that the next start must read live beside it.
int config_generator_records_folder_open(void);
