#pragma once

#include "support/test_util.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace veltra_test {

struct ServiceAccount {
    std::string email, password, plan_name, plan_key;
    int expires_in_days;  // negative: the plan has expired
};

struct ServiceServer {
    std::string address, name, country;
    std::vector<int> ports;
    bool covered_by_all_plans = true;
    std::vector<std::string> plans;  // the plans that cover it when not all
};

// Country of the callers in an address prefix, for "remote_address".
struct ServiceGeoPrefix {
    std::string prefix;  // CIDR, e.g. "127.0.0.0/8"
    std::string country;
};

// The reference account service, run as a child process over TLS on
// 127.0.0.1 with a CA made for the occasion.
class ReferenceService {
  public:
    // Makes a temp folder with a fresh CA + server cert for 127.0.0.1/localhost
    // (openssl CLI), a database seeded with the accounts and servers, and
    // starts the service on 127.0.0.1, on a free port. Waits (deadline) until
    // it accepts connections. Returns nullptr and ADD_FAILURE()s on failure.
    static std::unique_ptr<ReferenceService> start(const std::vector<ServiceAccount> &accounts,
                                                   const std::vector<ServiceServer> &servers,
                                                   const std::vector<ServiceGeoPrefix> &geo = {});
    // SIGTERM, reap, remove the temp folder.
    ~ReferenceService();
    ReferenceService(const ReferenceService &) = delete;
    ReferenceService &operator=(const ReferenceService &) = delete;

    // "https://127.0.0.1:<port>/RESTF-1.0.2/rest/api/"
    std::string base_url() const;
    // The CA that signed the server certificate.
    std::string ca_file() const;
    int port() const { return port_; }
    // What the service wrote to standard error so far. A request's line is
    // there before its reply leaves, except for requests that libsoup
    // refuses by itself (a broken percent escape): wait_for those.
    std::string log() const;
    // The service's database, for the program's own commands.
    std::string db_file() const;

    // From the next request on, answers as lines say: "METHOD 503" (an error
    // page) or "METHOD unreadable" (a 200 no client can read), one a line;
    // "" for none.
    bool set_faults(const std::string &lines) const;

    // Stops the service (SIGTERM, then SIGKILL after 5 s) and returns its
    // exit status, or -1 when it did not exit by itself. Later calls return
    // the same value.
    int stop();

    // Path of the veltra-account-service program.
    static std::string program();
    // Writes a CA certificate into folder that signed nothing the service
    // presents, with the same subject as the real one; returns its path, or
    // "" after ADD_FAILURE().
    static std::string make_untrusted_ca(const std::string &folder);

  private:
    ReferenceService() = default;

    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    int exit_status_ = -1;
};

// Runs program with args, waits for it, and returns its exit status (-1 when
// it could not run or was killed); what it wrote to standard output and
// standard error lands in *output when given.
int run_program(const std::vector<std::string> &argv, std::string *output = nullptr);

}  // namespace veltra_test
