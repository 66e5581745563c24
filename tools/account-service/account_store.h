#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The reference service's SQLite database: accounts with the NT hash of
// their password, servers with the plans that cover them, ports per server,
// and the address prefixes that tell a caller's country.
//
// Every text that ends up in a reply document is checked on the way in, so
// the documents never need escaping and always suit the client's readers:
// no double quote, backslash, comma or brace, no control character, shorter
// than 500 bytes, and no member name of a document inside a value.

// Outcome of a credential check; the values are the service's error codes.
enum account_store_verdict {
    ACCOUNT_STORE_STORAGE_FAILED = -1,
    ACCOUNT_STORE_OK = 0,
    ACCOUNT_STORE_UNKNOWN_EMAIL = 1,
    ACCOUNT_STORE_WRONG_PASSWORD = 2,
    ACCOUNT_STORE_PLAN_EXPIRED = 3,
};

// The client lists at most this many servers: it cuts the list at 1000
// commas and every server takes five members.
inline constexpr int ACCOUNT_STORE_MAX_SERVERS = 200;

struct account_record {
    std::string email;
    std::string plan_name;
    std::string plan_key;
    std::string expiry_date;  // YYYY-MM-DD, UTC; the plan is valid through this day
    int expiry_date_in_days = 0;
    bool all_servers = false;                   // the plan covers every server
    std::vector<std::string> server_addresses;  // covered servers when not all
};

struct account_server_entry {
    long long id = 0;
    std::string address;
    std::string name;
    std::string country_code;
    bool enabled = false;  // covered by the plan asked about
};

struct account_geo_prefix {
    std::string prefix;  // canonical CIDR text, e.g. "198.18.0.0/15"
    std::string country_code;
};

struct account_new_server {
    std::string address;
    std::string name;
    std::string country_code;
    bool all_plans = true;
    std::vector<std::string> plans;  // used when !all_plans
};

struct sqlite3;

class AccountStore {
  public:
    // Opens an existing database, or creates the file and its schema when
    // create is set. Returns nullptr with *error set when the file cannot be
    // opened or is not an account database.
    static std::unique_ptr<AccountStore> open(const std::string &path, bool create, std::string *error);
    ~AccountStore();
    AccountStore(const AccountStore &) = delete;
    AccountStore &operator=(const AccountStore &) = delete;

    // Adds the account, or replaces the one with the same e-mail address
    // (compared without regard to ASCII case). The password is stored only as
    // its NT hash.
    bool put_account(const std::string &email, const std::string &password, const std::string &plan_name,
                     const std::string &plan_key, std::chrono::sys_days expiry, std::string *error);
    // Adds the server, or replaces name, country and plans of the one with
    // the same address; its ports stay.
    bool put_server(const account_new_server &server, std::string *error);
    // Appends a port to a server's list; a port already listed stays where
    // it is.
    bool add_port(const std::string &address, int port, std::string *error);
    // Adds or replaces the country of an address prefix (CIDR or a bare
    // address).
    bool put_geo_prefix(const std::string &prefix, const std::string &country_code, std::string *error);

    // Checks e-mail and password hash (32 hexadecimal digits, any case) as of
    // today; fills *account on ACCOUNT_STORE_OK.
    account_store_verdict check(const std::string &email, const std::string &nt_hash, std::chrono::sys_days today,
                                account_record *account);
    // Every server in list order, enabled where plan_name covers it.
    bool server_list(const std::string &plan_name, std::vector<account_server_entry> *servers);
    // Ports of the server in list order; none when the address is unknown or
    // the plan does not cover it.
    bool ports(const std::string &address, const std::string &plan_name, std::vector<int> *ports);
    bool geo_prefixes(std::vector<account_geo_prefix> *prefixes);

  private:
    explicit AccountStore(sqlite3 *db) : db_(db) {}
    sqlite3 *db_;
};

// Checks of the texts the store accepts; each returns "" when the text is
// acceptable, otherwise why not.
std::string account_store_check_email(const std::string &email);
std::string account_store_check_country_code(const std::string &code, bool for_server);

// UTC date of now, and the ISO date texts the store keeps.
std::chrono::sys_days account_store_today();
std::string account_store_date_text(std::chrono::sys_days day);
bool account_store_parse_date(const std::string &text, std::chrono::sys_days *day);

// Canonical CIDR text of an address prefix ("198.18.0.0/15", or a bare
// address); false with *error when it is none.
bool account_store_canonical_prefix(const std::string &prefix, std::string *canonical, std::string *error);

// Country of ip (textual IPv4 or IPv6 address) by the longest matching
// prefix; earlier entries win ties. fallback when nothing matches.
std::string account_store_geo_country(const std::vector<account_geo_prefix> &prefixes, const std::string &ip,
                                      const std::string &fallback);
