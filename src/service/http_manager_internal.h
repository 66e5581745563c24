// http_manager_*_override, http_manager_url_redacted_new: the transport's test hooks.
#pragma once

// Test hooks of the HTTPS transport.

// Replaces the CA bundle ($VELTRA_CA_FILE or the system's) for later
// exchanges; NULL or "" selects the system's bundle.
void http_manager_ca_file_override(const char *ca_file);

// Replaces the connect and whole-exchange time-outs (milliseconds) for later
// exchanges.
void http_manager_timeouts_override(long connect_timeout_ms, long total_timeout_ms);

// Largest body kept for one reply; a longer one fails the transfer.
#define HTTP_MANAGER_BODY_LIMIT (1024 * 1024)

// New text (free()): url with the value of its "password" query key
// replaced by "***"; NULL for NULL.
char *http_manager_url_redacted_new(const char *url);
