#pragma once

#include "account_store.h"

#include <string>
#include <vector>

// The HTTPS front of the reference service.

inline constexpr char ACCOUNT_SERVER_BASE_PATH[] = "/RESTF-1.0.2/rest/api/";
// Country code of callers that no prefix matches; it names the "unknown"
// flag picture.
inline constexpr char ACCOUNT_SERVER_UNKNOWN_COUNTRY[] = "zz";

struct account_server_options {
    std::string db_path;
    std::string listen_address = "127.0.0.1";  // numeric IPv4 or IPv6 address
    int port = 8443;                           // 0: any free port
    std::string certificate_file;              // PEM, may hold the chain
    std::string key_file;
    std::string port_file;                // where the bound port is written; "" for stdout
    std::vector<account_geo_prefix> geo;  // ahead of the database's table
    std::string geo_default = ACCOUNT_SERVER_UNKNOWN_COUNTRY;
    // Faults to play, read again at every request (tests): lines "METHOD
    // 503" (an error page) or "METHOD unreadable" (a 200 the client cannot
    // read) for the request method named; "" for none.
    std::string faults_file;
};

// Serves until SIGTERM or SIGINT; returns the process exit status. Each
// request is logged to standard error as one line with the password masked.
int account_server_run(const account_server_options &options);
