#include "support/reference_service.h"

#include "account_store.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char **environ;

namespace veltra_test {

namespace {

const char base_path[] = "/RESTF-1.0.2/rest/api/";
const char ca_subject[] = "/CN=Veltra Test CA";

bool openssl(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    if (run_program(argv, &output) != 0) {
        ADD_FAILURE() << "openssl " << args.front() << " failed:\n" << output;
        return false;
    }
    return true;
}

bool make_ca(const std::string &folder, const std::string &name) {
    return openssl({"req",
                    "-x509",
                    "-new",
                    "-newkey",
                    "ec",
                    "-pkeyopt",
                    "ec_paramgen_curve:prime256v1",
                    "-nodes",
                    "-keyout",
                    folder + "/" + name + ".key",
                    "-out",
                    folder + "/" + name + ".pem",
                    "-days",
                    "2",
                    "-subj",
                    ca_subject,
                    "-addext",
                    "basicConstraints=critical,CA:TRUE",
                    "-addext",
                    "keyUsage=critical,keyCertSign,cRLSign"});
}

bool make_server_certificate(const std::string &folder) {
    const std::string extensions = folder + "/server.ext";
    if (!g_file_set_contents(extensions.c_str(),
                             "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                             "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n",
                             -1, nullptr)) {
        ADD_FAILURE() << "cannot write " << extensions;
        return false;
    }
    return openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                    folder + "/server.key", "-out", folder + "/server.csr", "-subj", "/CN=localhost"}) &&
           openssl({"x509", "-req", "-in", folder + "/server.csr", "-CA", folder + "/ca.pem", "-CAkey",
                    folder + "/ca.key", "-CAcreateserial", "-out", folder + "/server.pem", "-days", "2", "-extfile",
                    extensions});
}

bool seed(const std::string &db, const std::vector<ServiceAccount> &accounts, const std::vector<ServiceServer> &servers,
          const std::vector<ServiceGeoPrefix> &geo) {
    std::string error;
    std::unique_ptr<AccountStore> store = AccountStore::open(db, true, &error);
    bool ok = store != nullptr;
    const std::chrono::sys_days today = account_store_today();
    for (const ServiceAccount &account : accounts) {
        ok = ok && store->put_account(account.email, account.password, account.plan_name, account.plan_key,
                                      today + std::chrono::days(account.expires_in_days), &error);
    }
    for (const ServiceServer &server : servers) {
        ok = ok &&
             store->put_server({server.address, server.name, server.country, server.covered_by_all_plans, server.plans},
                               &error);
        for (int port : server.ports) {
            ok = ok && store->add_port(server.address, port, &error);
        }
    }
    for (const ServiceGeoPrefix &entry : geo) {
        ok = ok && store->put_geo_prefix(entry.prefix, entry.country, &error);
    }
    if (!ok) {
        ADD_FAILURE() << "seeding the service database: " << error;
    }
    return ok;
}

bool accepts_connections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// Waits up to deadline for pid to end; its wait status lands in *status.
bool reap(pid_t pid, std::chrono::milliseconds deadline, int *status) {
    return wait_for([&] { return waitpid(pid, status, WNOHANG) == pid; }, deadline);
}

}  // namespace

int run_program(const std::vector<std::string> &argv, std::string *output) {
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    g_autofree char *out = nullptr;
    g_autofree char *err = nullptr;
    int status = 0;
    g_autoptr(GError) error = nullptr;
    if (!g_spawn_sync(nullptr, args.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &status,
                      &error)) {
        if (output != nullptr) {
            *output = error->message;
        }
        return -1;
    }
    if (output != nullptr) {
        *output = std::string(out == nullptr ? "" : out) + (err == nullptr ? "" : err);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReferenceService::program() { return VELTRA_ACCOUNT_SERVICE_PATH; }

bool ReferenceService::set_faults(const std::string &lines) const {
    return g_file_set_contents(dir_.file("faults").c_str(), lines.c_str(), -1, nullptr);
}

std::string ReferenceService::make_untrusted_ca(const std::string &folder) {
    return make_ca(folder, "untrusted-ca") ? folder + "/untrusted-ca.pem" : "";
}

std::unique_ptr<ReferenceService> ReferenceService::start(const std::vector<ServiceAccount> &accounts,
                                                          const std::vector<ServiceServer> &servers,
                                                          const std::vector<ServiceGeoPrefix> &geo) {
    std::unique_ptr<ReferenceService> service(new ReferenceService());
    const std::string folder = service->dir_.path();
    if (!make_ca(folder, "ca") || !make_server_certificate(folder) ||
        !seed(service->db_file(), accounts, servers, geo)) {
        return nullptr;
    }

    const std::string port_file = folder + "/port";
    const std::string log_file = folder + "/service.log";
    std::vector<std::string> argv = {
        program(),     "serve",   "--db",     service->db_file(),     "--listen", "127.0.0.1",
        "--port",      "0",       "--cert",   folder + "/server.pem", "--key",    folder + "/server.key",
        "--port-file", port_file, "--faults", folder + "/faults"};
    std::vector<char *> args;
    for (std::string &arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    // A test that blocks or catches signals must not leave the service deaf
    // to SIGTERM.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << args[0] << ": " << g_strerror(spawned);
        return nullptr;
    }
    service->pid_ = pid;

    bool exited = false;
    const bool ready = wait_for([&] {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            service->pid_ = -1;
            return true;
        }
        const int port = std::atoi(read_file(port_file).c_str());
        if (port <= 0 || port > 65535 || !accepts_connections(port)) {
            return false;
        }
        service->port_ = port;
        return true;
    });
    if (!ready || exited) {
        ADD_FAILURE() << "the account service did not start:\n" << service->log();
        return nullptr;
    }
    return service;
}

ReferenceService::~ReferenceService() { stop(); }

int ReferenceService::stop() {
    if (pid_ <= 0) {
        return exit_status_;
    }
    int status = 0;
    kill(pid_, SIGTERM);
    if (!reap(pid_, std::chrono::seconds(5), &status)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        exit_status_ = -1;
    } else {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_ = -1;
    return exit_status_;
}

std::string ReferenceService::base_url() const { return "https://127.0.0.1:" + std::to_string(port_) + base_path; }

std::string ReferenceService::ca_file() const { return dir_.file("ca.pem"); }

std::string ReferenceService::log() const { return read_file(dir_.file("service.log")); }

std::string ReferenceService::db_file() const { return dir_.file("accounts.db"); }

}  // namespace veltra_test
