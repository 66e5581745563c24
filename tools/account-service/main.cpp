// veltra-account-service: the reference account service and the commands
// that fill its database. See README.md beside this file.

#include "account_server.h"
#include "account_store.h"
#include "base/owned_text.h"
#include "service/ntlm.h"

#include <glib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;
// The verify command is called by OpenVPN, which takes any status but 0 as
// a refusal; it never answers with exit_usage.
constexpr size_t verify_file_limit = 4096;

const char usage_text[] =
    "usage: veltra-account-service COMMAND [OPTIONS]\n"
    "\n"
    "  init        --db FILE\n"
    "  add-account --db FILE --email E --password P --plan NAME [--plan-key KEY]\n"
    "              (--expires-in-days N | --expires YYYY-MM-DD)\n"
    "  add-server  --db FILE --address A --name N --country CC [--plans all|P1,P2]\n"
    "  add-port    --db FILE --address A --port N\n"
    "  add-geo     --db FILE --prefix CIDR --country CC\n"
    "  seed-demo   --db FILE\n"
    "  serve       --db FILE --cert PEM --key PEM [--listen ADDR] [--port N]\n"
    "              [--port-file F] [--geo CIDR=CC]... [--geo-default CC] [--faults FILE]\n"
    "  verify      --db FILE CREDENTIALS_FILE\n"
    "  hash-password  (reads one line from standard input, prints its NT hash)\n"
    "\n"
    "add-account and add-server replace an entry with the same e-mail address\n"
    "or server address. verify exits 0 exactly when the file's user name and\n"
    "password would sign in (OpenVPN auth-user-pass-verify ... via-file).\n";

struct arguments {
    std::map<std::string, std::vector<std::string>> options;
    std::vector<std::string> positional;

    bool has(const std::string &name) const { return options.count(name) != 0; }
    std::string get(const std::string &name) const {
        auto found = options.find(name);
        return found == options.end() ? std::string() : found->second.back();
    }
};

void complain(const std::string &text) { std::fprintf(stderr, "veltra-account-service: %s\n", text.c_str()); }

// "--name value" or "--name=value"; only the names in known are accepted,
// each once unless it is listed in repeatable.
bool parse_arguments(int argc, char **argv, const std::set<std::string> &known, const std::set<std::string> &required,
                     const std::set<std::string> &repeatable, arguments *out) {
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0) {
            out->positional.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::string value;
        const size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            complain("--" + name + " needs a value");
            return false;
        }
        if (known.count(name) == 0) {
            complain("unknown option --" + name);
            return false;
        }
        if (out->has(name) && repeatable.count(name) == 0) {
            complain("--" + name + " given twice");
            return false;
        }
        out->options[name].push_back(value);
    }
    for (const std::string &name : required) {
        if (!out->has(name)) {
            complain("missing --" + name);
            return false;
        }
    }
    return true;
}

bool parse_int(const std::string &text, long long min, long long max, long long *value) {
    gint64 number = 0;
    if (!g_ascii_string_to_signed(text.c_str(), 10, min, max, &number, nullptr)) {
        return false;
    }
    *value = number;
    return true;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::unique_ptr<AccountStore> open_store(const std::string &path, bool create) {
    std::string error;
    std::unique_ptr<AccountStore> store = AccountStore::open(path, create, &error);
    if (!store) {
        complain(error);
    }
    return store;
}

int finish(bool ok, const std::string &error) {
    if (!ok) {
        complain(error);
        return exit_failed;
    }
    return exit_ok;
}

int command_init(const arguments &args) { return open_store(args.get("db"), true) ? exit_ok : exit_failed; }

int command_add_account(const arguments &args) {
    std::chrono::sys_days expiry;
    long long days = 0;
    if (args.has("expires-in-days") == args.has("expires")) {
        complain("give one of --expires-in-days and --expires");
        return exit_usage;
    }
    if (args.has("expires-in-days")) {
        if (!parse_int(args.get("expires-in-days"), -36500, 36500, &days)) {
            complain("--expires-in-days must be a whole number of days");
            return exit_usage;
        }
        expiry = account_store_today() + std::chrono::days(days);
    } else if (!account_store_parse_date(args.get("expires"), &expiry)) {
        complain("--expires must be a date YYYY-MM-DD");
        return exit_usage;
    }
    std::unique_ptr<AccountStore> store = open_store(args.get("db"), false);
    if (!store) {
        return exit_failed;
    }
    std::string error;
    const bool ok = store->put_account(args.get("email"), args.get("password"), args.get("plan"), args.get("plan-key"),
                                       expiry, &error);
    return finish(ok, error);
}

int command_add_server(const arguments &args) {
    account_new_server server;
    server.address = args.get("address");
    server.name = args.get("name");
    server.country_code = args.get("country");
    const std::string plans = args.has("plans") ? args.get("plans") : "all";
    server.all_plans = plans == "all";
    if (!server.all_plans) {
        server.plans = split(plans, ',');
    }
    std::unique_ptr<AccountStore> store = open_store(args.get("db"), false);
    if (!store) {
        return exit_failed;
    }
    std::string error;
    return finish(store->put_server(server, &error), error);
}

int command_add_port(const arguments &args) {
    long long port = 0;
    if (!parse_int(args.get("port"), 1, 65535, &port)) {
        complain("--port must be between 1 and 65535");
        return exit_usage;
    }
    std::unique_ptr<AccountStore> store = open_store(args.get("db"), false);
    if (!store) {
        return exit_failed;
    }
    std::string error;
    return finish(store->add_port(args.get("address"), static_cast<int>(port), &error), error);
}

int command_add_geo(const arguments &args) {
    std::unique_ptr<AccountStore> store = open_store(args.get("db"), false);
    if (!store) {
        return exit_failed;
    }
    std::string error;
    return finish(store->put_geo_prefix(args.get("prefix"), args.get("country"), &error), error);
}

int command_seed_demo(const arguments &args) {
    std::unique_ptr<AccountStore> store = open_store(args.get("db"), true);
    if (!store) {
        return exit_failed;
    }
    const std::chrono::sys_days today = account_store_today();
    struct demo_account {
        const char *email, *password, *plan, *key;
        int days;
    };
    const demo_account accounts[] = {
        {"demo@veltra.example", "demo-password", "premium", "PREMIUM-DEMO", 30},
        {"free@veltra.example", "free-password", "free", "", 365},
        {"expired@veltra.example", "expired-password", "premium", "PREMIUM-OLD", -5},
    };
    struct demo_server {
        const char *address, *name, *country;
        bool all_plans;
        std::vector<int> ports;
    };
    const demo_server servers[] = {
        {"de1.vpn.veltra.example", "Germany 1", "de", true, {1194, 443}},
        {"nl1.vpn.veltra.example", "Netherlands 1", "nl", false, {1194}},
        {"us1.vpn.veltra.example", "United States 1", "us", false, {1194, 1195}},
    };
    std::string error;
    for (const demo_account &account : accounts) {
        if (!store->put_account(account.email, account.password, account.plan, account.key,
                                today + std::chrono::days(account.days), &error)) {
            return finish(false, error);
        }
    }
    for (const demo_server &server : servers) {
        account_new_server entry{server.address, server.name, server.country, server.all_plans, {"premium"}};
        if (!store->put_server(entry, &error)) {
            return finish(false, error);
        }
        for (int port : server.ports) {
            if (!store->add_port(server.address, port, &error)) {
                return finish(false, error);
            }
        }
    }
    return exit_ok;
}

int command_serve(const arguments &args) {
    account_server_options options;
    options.db_path = args.get("db");
    options.certificate_file = args.get("cert");
    options.key_file = args.get("key");
    if (args.has("listen")) {
        options.listen_address = args.get("listen");
    }
    if (args.has("port")) {
        long long port = 0;
        if (!parse_int(args.get("port"), 0, 65535, &port)) {
            complain("--port must be between 0 and 65535");
            return exit_usage;
        }
        options.port = static_cast<int>(port);
    }
    options.port_file = args.get("port-file");
    options.faults_file = args.get("faults");
    if (args.has("geo-default")) {
        options.geo_default = args.get("geo-default");
        const std::string problem = account_store_check_country_code(options.geo_default, false);
        if (!problem.empty()) {
            complain("--geo-default: " + problem);
            return exit_usage;
        }
    }
    if (args.has("geo")) {
        for (const std::string &entry : args.options.at("geo")) {
            const size_t equals = entry.rfind('=');
            const std::string country = equals == std::string::npos ? "" : entry.substr(equals + 1);
            std::string canonical;
            if (!account_store_check_country_code(country, false).empty() ||
                !account_store_canonical_prefix(entry.substr(0, equals), &canonical, nullptr)) {
                complain("--geo " + entry + ": expected CIDR=CC, e.g. 198.18.0.0/15=de");
                return exit_usage;
            }
            options.geo.push_back({canonical, country});
        }
    }
    return account_server_run(options);
}

// Reads "user name\npassword\n" as OpenVPN writes it. The password never
// leaves this function except as its hash.
int command_verify(const arguments &args) {
    if (args.positional.size() != 1) {
        complain("verify needs exactly one credentials file");
        return exit_failed;
    }
    std::string content;
    if (FILE *file = std::fopen(args.positional[0].c_str(), "rb")) {
        char buffer[verify_file_limit + 1];
        const size_t read = std::fread(buffer, 1, sizeof buffer, file);
        std::fclose(file);
        content.assign(buffer, read);
        explicit_bzero(buffer, sizeof buffer);
    } else {
        complain("verify: cannot read " + args.positional[0]);
        return exit_failed;
    }
    const size_t first_end = content.find('\n');
    if (content.size() > verify_file_limit || content.find('\0') != std::string::npos ||
        first_end == std::string::npos) {
        explicit_bzero(content.data(), content.size());
        complain("verify: the credentials file must hold a user name line and a password line");
        return exit_failed;
    }
    std::string email = content.substr(0, first_end);
    size_t password_end = content.find('\n', first_end + 1);
    if (password_end == std::string::npos) {
        password_end = content.size();
    }
    std::string password = content.substr(first_end + 1, password_end - first_end - 1);
    explicit_bzero(content.data(), content.size());
    if (!email.empty() && email.back() == '\r') {
        email.pop_back();
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    pelk_owned_text hash(pelk_ntlm_encrypt(password.c_str()));
    explicit_bzero(password.data(), password.size());
    if (!hash) {
        complain("verify: cannot hash the password");
        return exit_failed;
    }
    std::unique_ptr<AccountStore> store = open_store(args.get("db"), false);
    if (!store) {
        return exit_failed;
    }
    account_record account;
    const account_store_verdict verdict = store->check(email, hash.get(), account_store_today(), &account);
    static const std::map<int, const char *> reasons = {
        {ACCOUNT_STORE_STORAGE_FAILED, "storage failure"},
        {ACCOUNT_STORE_UNKNOWN_EMAIL, "unknown e-mail address"},
        {ACCOUNT_STORE_WRONG_PASSWORD, "wrong password"},
        {ACCOUNT_STORE_PLAN_EXPIRED, "plan expired"},
    };
    g_autofree char *shown = g_strescape(email.c_str(), nullptr);
    if (verdict == ACCOUNT_STORE_OK) {
        complain(std::string("verify: \"") + shown + "\" accepted");
        return exit_ok;
    }
    complain(std::string("verify: \"") + shown + "\" refused: " + reasons.at(verdict));
    return exit_failed;
}

int command_hash_password(const arguments &) {
    char line[1024];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        complain("hash-password: no password on standard input");
        return exit_failed;
    }
    line[std::strcspn(line, "\r\n")] = '\0';
    pelk_owned_text hash(pelk_ntlm_encrypt(line));
    explicit_bzero(line, sizeof line);
    if (!hash) {
        complain("hash-password: cannot hash the password");
        return exit_failed;
    }
    std::printf("%s\n", hash.get());
    return exit_ok;
}

struct command {
    const char *name;
    int (*run)(const arguments &);
    std::set<std::string> known;
    std::set<std::string> required;
    std::set<std::string> repeatable;
};

}  // namespace

int main(int argc, char **argv) {
    const command commands[] = {
        {"init", command_init, {"db"}, {"db"}, {}},
        {"add-account",
         command_add_account,
         {"db", "email", "password", "plan", "plan-key", "expires-in-days", "expires"},
         {"db", "email", "password", "plan"},
         {}},
        {"add-server",
         command_add_server,
         {"db", "address", "name", "country", "plans"},
         {"db", "address", "name", "country"},
         {}},
        {"add-port", command_add_port, {"db", "address", "port"}, {"db", "address", "port"}, {}},
        {"add-geo", command_add_geo, {"db", "prefix", "country"}, {"db", "prefix", "country"}, {}},
        {"seed-demo", command_seed_demo, {"db"}, {"db"}, {}},
        {"serve",
         command_serve,
         {"db", "cert", "key", "listen", "port", "port-file", "geo", "geo-default", "faults"},
         {"db", "cert", "key"},
         {"geo"}},
        {"verify", command_verify, {"db"}, {"db"}, {}},
        {"hash-password", command_hash_password, {}, {}, {}},
    };
    if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage_text, argc < 2 ? stderr : stdout);
        return argc < 2 ? exit_usage : exit_ok;
    }
    for (const command &candidate : commands) {
        if (std::strcmp(argv[1], candidate.name) != 0) {
            continue;
        }
        const bool verifying = candidate.run == command_verify;
        arguments args;
        if (!parse_arguments(argc, argv, candidate.known, candidate.required, candidate.repeatable, &args)) {
            return verifying ? exit_failed : exit_usage;
        }
        if (!verifying && !args.positional.empty()) {
            complain("unexpected argument " + args.positional[0]);
            return exit_usage;
        }
        return candidate.run(args);
    }
    complain(std::string("unknown command ") + argv[1]);
    std::fputs(usage_text, stderr);
    return exit_usage;
}
