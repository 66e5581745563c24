#include "account_store.h"

#include "account_documents.h"
#include "base/owned_text.h"
#include "service/ntlm.h"

#include <gio/gio.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int schema_version = 1;

const char schema[] = R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    email TEXT PRIMARY KEY COLLATE NOCASE,
    nt_hash TEXT NOT NULL,
    plan_name TEXT NOT NULL,
    plan_key TEXT NOT NULL,
    expiry_date TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS servers (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    address TEXT NOT NULL UNIQUE COLLATE NOCASE,
    name TEXT NOT NULL,
    country_code TEXT NOT NULL,
    all_plans INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS server_plans (
    server_id INTEGER NOT NULL REFERENCES servers(id) ON DELETE CASCADE,
    plan_name TEXT NOT NULL,
    PRIMARY KEY (server_id, plan_name)
);
CREATE TABLE IF NOT EXISTS ports (
    server_id INTEGER NOT NULL REFERENCES servers(id) ON DELETE CASCADE,
    position INTEGER NOT NULL,
    port INTEGER NOT NULL CHECK (port BETWEEN 1 AND 65535),
    PRIMARY KEY (server_id, port)
);
CREATE TABLE IF NOT EXISTS geo_prefixes (
    prefix TEXT PRIMARY KEY,
    country_code TEXT NOT NULL
);
PRAGMA user_version = 1;
)sql";

// A server's plan coverage, for the plan bound as ?1 and the server row s.
#define COVERED_BY_PLAN                                                                                                \
    "(s.all_plans OR EXISTS (SELECT 1 FROM server_plans p "                                                            \
    "WHERE p.server_id = s.id AND p.plan_name = ?1))"

// Names the client's readers look for; a value holding one would be taken
// for that member.
const char *const member_names[] = {
    "error_code",     "expiry_date", "plan_name",    "plan_key",   "valid_servers",
    "server_address", "server_name", "country_code", "is_enabled", "user_name",
};

struct statement_deleter {
    void operator()(sqlite3_stmt *statement) const noexcept { sqlite3_finalize(statement); }
};
using statement_ptr = std::unique_ptr<sqlite3_stmt, statement_deleter>;

statement_ptr prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement_ptr(statement);
}

void bind_text(sqlite3_stmt *statement, int index, const std::string &text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string column_text(sqlite3_stmt *statement, int index) {
    const unsigned char *text = sqlite3_column_text(statement, index);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char *>(text),
                                         static_cast<size_t>(sqlite3_column_bytes(statement, index)));
}

bool fail(std::string *error, const std::string &text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

bool fail_sqlite(sqlite3 *db, std::string *error) {
    return fail(error, std::string("database: ") + sqlite3_errmsg(db));
}

// Runs a statement that returns no rows.
bool run(sqlite3 *db, sqlite3_stmt *statement, std::string *error) {
    if (statement == nullptr || sqlite3_step(statement) != SQLITE_DONE) {
        return fail_sqlite(db, error);
    }
    return true;
}

// Rolls back unless committed.
class Transaction {
  public:
    explicit Transaction(sqlite3 *db) : db_(db) {
        ok_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
        if (ok_ && !committed_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    bool started() const { return ok_; }
    bool commit() {
        committed_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        return committed_;
    }

  private:
    sqlite3 *db_;
    bool ok_ = false;
    bool committed_ = false;
};

std::string check_text(const char *what, const std::string &text, size_t min, size_t max) {
    if (text.size() < min) {
        return std::string(what) + " is empty";
    }
    if (text.size() > max) {
        return std::string(what) + " is longer than " + std::to_string(max) + " bytes";
    }
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        return std::string(what) + " is not UTF-8";
    }
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            return std::string(what) + " holds a control character";
        }
        if (std::strchr("\"\\,{}[]", c) != nullptr) {
            return std::string(what) + " holds one of \" \\ , { } [ ]";
        }
    }
    for (const char *name : member_names) {
        if (text.find(name) != std::string::npos) {
            return std::string(what) + " holds the member name " + name;
        }
    }
    return "";
}

std::string check_address(const std::string &address) {
    if (address.empty() || address.size() > 253) {
        return "server address must have 1 to 253 characters";
    }
    for (char c : address) {
        if (!g_ascii_isalnum(c) && c != '.' && c != '-' && c != ':') {
            return "server address may hold only letters, digits, '.', '-' and ':'";
        }
    }
    return "";
}

bool valid_hash(const std::string &hash) {
    if (hash.size() != 32) {
        return false;
    }
    for (char c : hash) {
        if (!g_ascii_isxdigit(c)) {
            return false;
        }
    }
    return true;
}

// Compares without an early exit, so timing tells nothing about the digits.
bool same_hash(const std::string &given, const std::string &stored) {
    if (given.size() != stored.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(g_ascii_toupper(given[i]) ^ g_ascii_toupper(stored[i]));
    }
    return difference == 0;
}

bool find_server(sqlite3 *db, const std::string &address, long long *id, std::string *error) {
    statement_ptr select = prepare(db, "SELECT id FROM servers WHERE address = ?1");
    if (!select) {
        return fail_sqlite(db, error);
    }
    bind_text(select.get(), 1, address);
    const int step = sqlite3_step(select.get());
    if (step == SQLITE_ROW) {
        *id = sqlite3_column_int64(select.get(), 0);
        return true;
    }
    if (step == SQLITE_DONE) {
        *id = 0;
        return true;
    }
    return fail_sqlite(db, error);
}

}  // namespace

std::string account_store_check_email(const std::string &email) { return check_text("e-mail address", email, 1, 254); }

std::string account_store_check_country_code(const std::string &code, bool) {
    if (code.size() != 2 || !g_ascii_islower(code[0]) || !g_ascii_islower(code[1])) {
        return "country code must be two lower-case letters";
    }
    return "";
}

std::chrono::sys_days account_store_today() {
    return std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
}

std::string account_store_date_text(std::chrono::sys_days day) {
    const std::chrono::year_month_day date(day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

bool account_store_parse_date(const std::string &text, std::chrono::sys_days *day) {
    int year = 0;
    unsigned month = 0;
    unsigned day_of_month = 0;
    int consumed = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((i == 4 || i == 7) != !g_ascii_isdigit(text[i])) {
            return false;
        }
    }
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
        std::sscanf(text.c_str(), "%4d-%2u-%2u%n", &year, &month, &day_of_month, &consumed) != 3 || consumed != 10) {
        return false;
    }
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month),
                                           std::chrono::day(day_of_month)};
    if (!date.ok()) {
        return false;
    }
    *day = std::chrono::sys_days(date);
    return true;
}

bool account_store_canonical_prefix(const std::string &prefix, std::string *canonical, std::string *error) {
    g_autoptr(GError) mask_error = nullptr;
    g_autoptr(GInetAddressMask) mask = g_inet_address_mask_new_from_string(prefix.c_str(), &mask_error);
    if (mask == nullptr) {
        return fail(error, "address prefix " + prefix + ": " + mask_error->message);
    }
    g_autofree char *text = g_inet_address_mask_to_string(mask);
    *canonical = text;
    return true;
}

std::string account_store_geo_country(const std::vector<account_geo_prefix> &prefixes, const std::string &ip,
                                      const std::string &fallback) {
    g_autoptr(GInetAddress) address = g_inet_address_new_from_string(ip.c_str());
    if (address == nullptr) {
        return fallback;
    }
    std::string best = fallback;
    int best_length = -1;
    for (const account_geo_prefix &entry : prefixes) {
        g_autoptr(GInetAddressMask) mask = g_inet_address_mask_new_from_string(entry.prefix.c_str(), nullptr);
        if (mask == nullptr || !g_inet_address_mask_matches(mask, address)) {
            continue;
        }
        const int length = static_cast<int>(g_inet_address_mask_get_length(mask));
        if (length > best_length) {
            best_length = length;
            best = entry.country_code;
        }
    }
    return best;
}

std::unique_ptr<AccountStore> AccountStore::open(const std::string &path, bool create, std::string *error) {
    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        fail(error, path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "cannot open"));
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<AccountStore> store(new AccountStore(db));
    // The service reads while the command line may write.
    sqlite3_busy_timeout(db, 5000);
    if (sqlite3_exec(db, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(error, path + ": " + sqlite3_errmsg(db));
        return nullptr;
    }
    statement_ptr version = prepare(db, "PRAGMA user_version");
    if (!version || sqlite3_step(version.get()) != SQLITE_ROW) {
        fail(error, path + ": " + sqlite3_errmsg(db));
        return nullptr;
    }
    const int found = sqlite3_column_int(version.get(), 0);
    version.reset();
    if (found == 0 && create) {
        if (sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail(error, path + ": " + sqlite3_errmsg(db));
            return nullptr;
        }
    } else if (found != schema_version) {
        fail(error, path + ": not an account database (run init first)");
        return nullptr;
    }
    return store;
}

AccountStore::~AccountStore() { sqlite3_close(db_); }

bool AccountStore::put_account(const std::string &email, const std::string &password, const std::string &plan_name,
                               const std::string &plan_key, std::chrono::sys_days expiry, std::string *error) {
    std::string problem = account_store_check_email(email);
    if (problem.empty() && (password.empty() || password.size() > 512 || password.find('\0') != std::string::npos ||
                            !g_utf8_validate(password.data(), static_cast<gssize>(password.size()), nullptr))) {
        problem = "password must be 1 to 512 bytes of UTF-8";
    }
    if (problem.empty()) {
        problem = check_text("plan name", plan_name, 1, 100);
    }
    if (problem.empty()) {
        problem = check_text("plan key", plan_key, 0, 100);
    }
    if (!problem.empty()) {
        return fail(error, problem);
    }
    pelk_owned_text hash(pelk_ntlm_encrypt(password.c_str()));
    if (!hash) {
        return fail(error, "cannot hash the password");
    }
    statement_ptr insert =
        prepare(db_,
                "INSERT INTO accounts (email, nt_hash, plan_name, plan_key, expiry_date) "
                "VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (email) DO UPDATE SET "
                "email = excluded.email, nt_hash = excluded.nt_hash, plan_name = excluded.plan_name, "
                "plan_key = excluded.plan_key, expiry_date = excluded.expiry_date");
    if (!insert) {
        return fail_sqlite(db_, error);
    }
    bind_text(insert.get(), 1, email);
    bind_text(insert.get(), 2, hash.get());
    bind_text(insert.get(), 3, plan_name);
    bind_text(insert.get(), 4, plan_key);
    bind_text(insert.get(), 5, account_store_date_text(expiry));
    return run(db_, insert.get(), error);
}

bool AccountStore::put_server(const account_new_server &server, std::string *error) {
    std::string problem = check_address(server.address);
    if (problem.empty()) {
        problem = check_text("server name", server.name, 1, 100);
    }
    if (problem.empty()) {
        problem = account_store_check_country_code(server.country_code, true);
    }
    if (problem.empty() && !server.all_plans && server.plans.empty()) {
        problem = "a server needs at least one plan, or all";
    }
    for (const std::string &plan : server.plans) {
        if (problem.empty()) {
            problem = check_text("plan name", plan, 1, 100);
        }
    }
    if (!problem.empty()) {
        return fail(error, problem);
    }

    Transaction transaction(db_);
    if (!transaction.started()) {
        return fail_sqlite(db_, error);
    }
    long long id = 0;
    if (!find_server(db_, server.address, &id, error)) {
        return false;
    }
    if (id == 0) {
        statement_ptr count = prepare(db_, "SELECT COUNT(*) FROM servers");
        if (!count || sqlite3_step(count.get()) != SQLITE_ROW) {
            return fail_sqlite(db_, error);
        }
        if (sqlite3_column_int(count.get(), 0) >= ACCOUNT_STORE_MAX_SERVERS) {
            return fail(error,
                        "the client cannot list more than " + std::to_string(ACCOUNT_STORE_MAX_SERVERS) + " servers");
        }
    }
    statement_ptr upsert =
        prepare(db_,
                "INSERT INTO servers (address, name, country_code, all_plans) VALUES (?1, ?2, ?3, ?4) "
                "ON CONFLICT (address) DO UPDATE SET name = excluded.name, "
                "country_code = excluded.country_code, all_plans = excluded.all_plans");
    if (!upsert) {
        return fail_sqlite(db_, error);
    }
    bind_text(upsert.get(), 1, server.address);
    bind_text(upsert.get(), 2, server.name);
    bind_text(upsert.get(), 3, server.country_code);
    sqlite3_bind_int(upsert.get(), 4, server.all_plans ? 1 : 0);
    if (!run(db_, upsert.get(), error) || !find_server(db_, server.address, &id, error)) {
        return false;
    }
    statement_ptr clear = prepare(db_, "DELETE FROM server_plans WHERE server_id = ?1");
    if (!clear) {
        return fail_sqlite(db_, error);
    }
    sqlite3_bind_int64(clear.get(), 1, id);
    if (!run(db_, clear.get(), error)) {
        return false;
    }
    if (!server.all_plans) {
        for (const std::string &plan : server.plans) {
            statement_ptr insert =
                prepare(db_, "INSERT OR IGNORE INTO server_plans (server_id, plan_name) VALUES (?1, ?2)");
            if (!insert) {
                return fail_sqlite(db_, error);
            }
            sqlite3_bind_int64(insert.get(), 1, id);
            bind_text(insert.get(), 2, plan);
            if (!run(db_, insert.get(), error)) {
                return false;
            }
        }
    }
    return transaction.commit() || fail_sqlite(db_, error);
}

bool AccountStore::add_port(const std::string &address, int port, std::string *error) {
    if (port < 1 || port > 65535) {
        return fail(error, "port must be between 1 and 65535");
    }
    Transaction transaction(db_);
    if (!transaction.started()) {
        return fail_sqlite(db_, error);
    }
    long long id = 0;
    if (!find_server(db_, address, &id, error)) {
        return false;
    }
    if (id == 0) {
        return fail(error, "no server with address " + address);
    }
    statement_ptr select = prepare(db_, "SELECT port FROM ports WHERE server_id = ?1 ORDER BY position");
    if (!select) {
        return fail_sqlite(db_, error);
    }
    sqlite3_bind_int64(select.get(), 1, id);
    std::vector<int> listed;
    int step = 0;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        listed.push_back(sqlite3_column_int(select.get(), 0));
    }
    if (step != SQLITE_DONE) {
        return fail_sqlite(db_, error);
    }
    for (int known : listed) {
        if (known == port) {
            return true;
        }
    }
    listed.push_back(port);
    if (account_documents_ports(listed).size() > ACCOUNT_DOCUMENTS_MAX_PORTS_DOCUMENT) {
        return fail(error, "too many ports for one server: the client reads at most " +
                               std::to_string(ACCOUNT_DOCUMENTS_MAX_PORTS_DOCUMENT) + " bytes of port list");
    }
    statement_ptr insert =
        prepare(db_,
                "INSERT INTO ports (server_id, position, port) "
                "VALUES (?1, (SELECT COALESCE(MAX(position), 0) + 1 FROM ports WHERE server_id = ?1), ?2)");
    if (!insert) {
        return fail_sqlite(db_, error);
    }
    sqlite3_bind_int64(insert.get(), 1, id);
    sqlite3_bind_int(insert.get(), 2, port);
    if (!run(db_, insert.get(), error)) {
        return false;
    }
    return transaction.commit() || fail_sqlite(db_, error);
}

bool AccountStore::put_geo_prefix(const std::string &prefix, const std::string &country_code, std::string *error) {
    const std::string problem = account_store_check_country_code(country_code, false);
    if (!problem.empty()) {
        return fail(error, problem);
    }
    std::string canonical;
    if (!account_store_canonical_prefix(prefix, &canonical, error)) {
        return false;
    }
    statement_ptr upsert = prepare(db_,
                                   "INSERT INTO geo_prefixes (prefix, country_code) VALUES (?1, ?2) "
                                   "ON CONFLICT (prefix) DO UPDATE SET country_code = excluded.country_code");
    if (!upsert) {
        return fail_sqlite(db_, error);
    }
    bind_text(upsert.get(), 1, canonical);
    bind_text(upsert.get(), 2, country_code);
    return run(db_, upsert.get(), error);
}

account_store_verdict AccountStore::check(const std::string &email, const std::string &nt_hash,
                                          std::chrono::sys_days today, account_record *account) {
    statement_ptr select =
        prepare(db_, "SELECT email, nt_hash, plan_name, plan_key, expiry_date FROM accounts WHERE email = ?1");
    if (!select) {
        return ACCOUNT_STORE_STORAGE_FAILED;
    }
    bind_text(select.get(), 1, email);
    const int step = sqlite3_step(select.get());
    if (step == SQLITE_DONE) {
        return ACCOUNT_STORE_UNKNOWN_EMAIL;
    }
    if (step != SQLITE_ROW) {
        return ACCOUNT_STORE_STORAGE_FAILED;
    }
    if (!valid_hash(nt_hash) || !same_hash(nt_hash, column_text(select.get(), 1))) {
        return ACCOUNT_STORE_WRONG_PASSWORD;
    }
    std::chrono::sys_days expiry;
    if (!account_store_parse_date(column_text(select.get(), 4), &expiry)) {
        return ACCOUNT_STORE_STORAGE_FAILED;
    }
    const long long days_left = (expiry - today).count();
    if (days_left < 0) {
        return ACCOUNT_STORE_PLAN_EXPIRED;
    }
    account_record found;
    found.email = column_text(select.get(), 0);
    found.plan_name = column_text(select.get(), 2);
    found.plan_key = column_text(select.get(), 3);
    found.expiry_date = account_store_date_text(expiry);
    found.expiry_date_in_days = static_cast<int>(days_left);
    select.reset();

    std::vector<account_server_entry> servers;
    if (!server_list(found.plan_name, &servers)) {
        return ACCOUNT_STORE_STORAGE_FAILED;
    }
    found.all_servers = true;
    for (const account_server_entry &server : servers) {
        if (server.enabled) {
            found.server_addresses.push_back(server.address);
        } else {
            found.all_servers = false;
        }
    }
    *account = std::move(found);
    return ACCOUNT_STORE_OK;
}

bool AccountStore::server_list(const std::string &plan_name, std::vector<account_server_entry> *servers) {
    servers->clear();
    statement_ptr select = prepare(db_, "SELECT s.id, s.address, s.name, s.country_code, " COVERED_BY_PLAN
                                        " FROM servers s ORDER BY s.id");
    if (!select) {
        return false;
    }
    bind_text(select.get(), 1, plan_name);
    int step = 0;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        account_server_entry entry;
        entry.id = sqlite3_column_int64(select.get(), 0);
        entry.address = column_text(select.get(), 1);
        entry.name = column_text(select.get(), 2);
        entry.country_code = column_text(select.get(), 3);
        entry.enabled = sqlite3_column_int(select.get(), 4) != 0;
        servers->push_back(std::move(entry));
    }
    return step == SQLITE_DONE;
}

bool AccountStore::ports(const std::string &address, const std::string &plan_name, std::vector<int> *ports) {
    ports->clear();
    statement_ptr select = prepare(db_,
                                   "SELECT o.port FROM ports o JOIN servers s ON s.id = o.server_id "
                                   "WHERE s.address = ?2 AND " COVERED_BY_PLAN " ORDER BY o.position");
    if (!select) {
        return false;
    }
    bind_text(select.get(), 1, plan_name);
    bind_text(select.get(), 2, address);
    int step = 0;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        ports->push_back(sqlite3_column_int(select.get(), 0));
    }
    return step == SQLITE_DONE;
}

bool AccountStore::geo_prefixes(std::vector<account_geo_prefix> *prefixes) {
    prefixes->clear();
    statement_ptr select = prepare(db_, "SELECT prefix, country_code FROM geo_prefixes ORDER BY prefix");
    if (!select) {
        return false;
    }
    int step = 0;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        prefixes->push_back({column_text(select.get(), 0), column_text(select.get(), 1)});
    }
    return step == SQLITE_DONE;
}
