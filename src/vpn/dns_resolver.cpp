// pelk_vpn_dns_resolver_*: the tunnel's name servers set and taken back.
#include "vpn/dns_resolver.h"

#include "base/logger.h"
#include "base/owned_fd.h"
#include "vpn/config_generator.h"
#include "vpn/dns_options.h"
#include "vpn/dns_resolv_conf.h"
#include "vpn/dns_resolver_internal.h"

#include <fcntl.h>
#include <glib.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

const char *const pelk_vpn_dns_resolver_record_name = "dns.run";

namespace {

constexpr const char *kResolvConf = "/etc/resolv.conf";
// Run by its full path: a program found through PATH could be anyone's.
constexpr const char *kResolvectl = "/usr/bin/resolvectl";
constexpr const char *kResolvedSocket = "/run/systemd/resolve/io.systemd.Resolve";
constexpr const char *kRecordScratchName = "dns.run.new";
constexpr const char *kGroup = "dns";
constexpr const char *kMethodResolved = "resolved";
constexpr const char *kMethodFile = "file";
// Two copies of a resolver file in base64, and a few names.
constexpr off_t kMaxRecordSize = 256 * 1024;
constexpr size_t kMaxProgramError = 200;

// What is set now, and how to take it back.
struct Applied {
    unsigned int connection = 0;
    bool resolved = false;
    std::string device;
    std::vector<std::string> servers;
    std::vector<std::string> domains;
    pelk_vpn_dns_resolv_conf_state file;
};

// All of it guarded by dns_lock, taken before the files' folder lock of
// the config generator (never the other way round). Never destroyed: the
// manager thread may be taking the servers back while exit() runs the
// static destructors.
std::mutex dns_lock;
unsigned int reading_connection = 0;
pelk_vpn_dns_lines &lines = *new pelk_vpn_dns_lines;
pelk_vpn_dns_options &options = *new pelk_vpn_dns_options;
unsigned int closed_through = 0;
std::optional<Applied> &applied = *new std::optional<Applied>;
std::string &resolv_conf_override = *new std::string;
std::string &resolvectl_override = *new std::string;

std::string resolv_conf_path() { return resolv_conf_override.empty() ? kResolvConf : resolv_conf_override; }

std::string joined(const std::vector<std::string> &words, const char *separator) {
    std::string text;
    for (const std::string &word : words) {
        text += (text.empty() ? "" : separator) + word;
    }
    return text;
}

// "198.18.4.53 10.0.0.1 (search vpn.example)"
std::string describe(const Applied &what) {
    std::string text = joined(what.servers, " ");
    if (!what.domains.empty()) {
        text += " (search " + joined(what.domains, " ") + ")";
    }
    return text;
}

std::string where(const Applied &what) {
    return what.resolved ? what.device + " through systemd-resolved" : resolv_conf_path();
}

void log_line(const std::string &text) { pelk_write_dev_log(("dns: " + text + "\n").c_str()); }

// --- the record -------------------------------------------------------------

std::string encoded(const std::string &bytes) {
    g_autofree char *text = g_base64_encode(reinterpret_cast<const guchar *>(bytes.data()), bytes.size());
    return text;
}

std::string decoded(const char *text) {
    if (text == nullptr) {
        return "";
    }
    gsize length = 0;
    g_autofree guchar *bytes = g_base64_decode(text, &length);
    return std::string(reinterpret_cast<const char *>(bytes), length);
}

void set_list(GKeyFile *file, const char *key, const std::vector<std::string> &list) {
    std::vector<const char *> words;
    for (const std::string &word : list) {
        words.push_back(word.c_str());
    }
    g_key_file_set_string_list(file, kGroup, key, words.data(), words.size());
}

// The record's words are re-checked as if they came from a push: the file
// is root's alone, but a damaged one must not make us write garbage.
std::vector<std::string> get_list(GKeyFile *file, const char *key, std::string (*check)(const std::string &)) {
    std::vector<std::string> list;
    gsize count = 0;
    g_auto(GStrv) words = g_key_file_get_string_list(file, kGroup, key, &count, nullptr);
    for (gsize i = 0; i < count; ++i) {
        const std::string word = check(words[i]);
        if (!word.empty()) {
            list.push_back(word);
        }
    }
    return list;
}

std::string format_record(const Applied &what) {
    g_autoptr(GKeyFile) file = g_key_file_new();
    g_key_file_set_string(file, kGroup, "method", what.resolved ? kMethodResolved : kMethodFile);
    g_key_file_set_string(file, kGroup, "device", what.device.c_str());
    set_list(file, "servers", what.servers);
    set_list(file, "domains", what.domains);
    if (!what.resolved) {
        const pelk_vpn_dns_resolv_conf_state &state = what.file;
        g_key_file_set_integer(file, kGroup, "kind", state.kind);
        g_key_file_set_string(file, kGroup, "before", encoded(state.bytes).c_str());
        g_key_file_set_string(file, kGroup, "link", state.link_target.c_str());
        g_key_file_set_uint64(file, kGroup, "mode", state.mode);
        g_key_file_set_uint64(file, kGroup, "uid", state.uid);
        g_key_file_set_uint64(file, kGroup, "gid", state.gid);
        g_key_file_set_string(file, kGroup, "written", encoded(state.written).c_str());
        g_key_file_set_uint64(file, kGroup, "device-number", state.device);
        g_key_file_set_uint64(file, kGroup, "inode", state.inode);
        g_key_file_set_boolean(file, kGroup, "in-place", state.in_place);
    }
    g_autofree char *text = g_key_file_to_data(file, nullptr, nullptr);
    return text != nullptr ? text : "";
}

bool parse_record(const std::string &text, Applied *what) {
    g_autoptr(GKeyFile) file = g_key_file_new();
    if (!g_key_file_load_from_data(file, text.data(), text.size(), G_KEY_FILE_NONE, nullptr)) {
        return false;
    }
    g_autofree char *method = g_key_file_get_string(file, kGroup, "method", nullptr);
    g_autofree char *device = g_key_file_get_string(file, kGroup, "device", nullptr);
    if (method == nullptr || device == nullptr) {
        return false;
    }
    what->resolved = strcmp(method, kMethodResolved) == 0;
    if (!what->resolved && strcmp(method, kMethodFile) != 0) {
        return false;
    }
    what->device = device;
    if (what->resolved && !pelk_vpn_dns_options_is_device(what->device)) {
        return false;
    }
    what->servers = get_list(file, "servers", pelk_vpn_dns_options_server);
    what->domains = get_list(file, "domains", pelk_vpn_dns_options_domain);
    if (what->resolved) {
        return true;
    }
    pelk_vpn_dns_resolv_conf_state &state = what->file;
    const gint kind = g_key_file_get_integer(file, kGroup, "kind", nullptr);
    if (kind < PELK_VPN_DNS_RESOLV_CONF_ABSENT || kind > PELK_VPN_DNS_RESOLV_CONF_LINK) {
        return false;
    }
    state.kind = static_cast<pelk_vpn_dns_resolv_conf_kind>(kind);
    g_autofree char *before = g_key_file_get_string(file, kGroup, "before", nullptr);
    g_autofree char *link = g_key_file_get_string(file, kGroup, "link", nullptr);
    g_autofree char *written = g_key_file_get_string(file, kGroup, "written", nullptr);
    state.bytes = decoded(before);
    state.link_target = link != nullptr ? link : "";
    state.mode = static_cast<unsigned int>(g_key_file_get_uint64(file, kGroup, "mode", nullptr) & 07777);
    state.uid = static_cast<unsigned int>(g_key_file_get_uint64(file, kGroup, "uid", nullptr));
    state.gid = static_cast<unsigned int>(g_key_file_get_uint64(file, kGroup, "gid", nullptr));
    state.written = decoded(written);
    state.device = g_key_file_get_uint64(file, kGroup, "device-number", nullptr);
    state.inode = g_key_file_get_uint64(file, kGroup, "inode", nullptr);
    state.in_place = g_key_file_get_boolean(file, kGroup, "in-place", nullptr);
    return !state.written.empty() && (state.kind != PELK_VPN_DNS_RESOLV_CONF_LINK || !state.link_target.empty());
}

// Replaces the record whole (write, then rename); nullptr removes it.
bool write_record(const Applied *what, std::string *error) {
    const pelk_owned_fd dir(config_generator_records_folder_open());
    if (dir.get() < 0) {
        *error = std::string("cannot use the run folder: ") + strerror(errno);
        return false;
    }
    if (what == nullptr) {
        if (unlinkat(dir.get(), pelk_vpn_dns_resolver_record_name, 0) != 0 && errno != ENOENT) {
            *error = std::string("cannot delete the record: ") + strerror(errno);
            return false;
        }
        return true;
    }
    const std::string text = format_record(*what);
    unlinkat(dir.get(), kRecordScratchName, 0);
    const pelk_owned_fd fd(
        openat(dir.get(), kRecordScratchName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool done = fd.get() >= 0 && pelk_owned_fd_write_all(fd.get(), text);
    done = done && fsync(fd.get()) == 0 &&
           renameat(dir.get(), kRecordScratchName, dir.get(), pelk_vpn_dns_resolver_record_name) == 0;
    if (!done) {
        *error = std::string("cannot write the record: ") + strerror(errno);
        unlinkat(dir.get(), kRecordScratchName, 0);
    }
    return done;
}

// The record's text; nullopt when there is none. A record that is not a
// plain file of ours is read as none and reported.
std::optional<std::string> read_record(std::string *error) {
    const pelk_owned_fd dir(config_generator_records_folder_open());
    if (dir.get() < 0) {
        *error = std::string("cannot use the run folder: ") + strerror(errno);
        return std::nullopt;
    }
    const pelk_owned_fd fd(
        openat(dir.get(), pelk_vpn_dns_resolver_record_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno != ENOENT) {
            *error = std::string("cannot open the record: ") + strerror(errno);
        }
        return std::nullopt;
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        info.st_size > kMaxRecordSize) {
        *error = "the record is not a file of ours; left alone";
        return std::nullopt;
    }
    return pelk_owned_fd_read(fd.get(), static_cast<size_t>(info.st_size));
}

// --- systemd-resolved -------------------------------------------------------

std::string resolvectl_path() { return resolvectl_override.empty() ? kResolvectl : resolvectl_override; }

bool resolved_runs() { return access(kResolvedSocket, F_OK) == 0 && access(kResolvectl, X_OK) == 0; }

// Whether lookups go through systemd-resolved now.
bool lookups_use_resolved() {
    if (!resolvectl_override.empty()) {
        return true;
    }
    g_autofree char *target = g_file_read_link(resolv_conf_path().c_str(), nullptr);
    g_autofree char *text = nullptr;
    g_file_get_contents(resolv_conf_path().c_str(), &text, nullptr, nullptr);
    return pelk_vpn_dns_resolver_uses_resolved(resolved_runs(), target != nullptr ? target : "",
                                               text != nullptr ? text : "");
}

std::string first_line(const char *text) {
    std::string line = text != nullptr ? text : "";
    line = line.substr(0, line.find('\n'));
    return line.size() > kMaxProgramError ? line.substr(0, kMaxProgramError) : line;
}

// Runs resolvectl with args: an argument vector, no shell, no PATH, an
// environment of our own.
bool resolvectl(const std::vector<std::string> &args, std::string *error) {
    const std::string program = resolvectl_path();
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const char *envp[] = {"LC_ALL=C", nullptr};
    g_autofree char *err = nullptr;
    gint status = 0;
    g_autoptr(GError) failure = nullptr;
    if (!g_spawn_sync("/", argv.data(), const_cast<char **>(envp), G_SPAWN_STDOUT_TO_DEV_NULL, nullptr, nullptr,
                      nullptr, &err, &status, &failure) ||
        !g_spawn_check_wait_status(status, &failure)) {
        *error = "resolvectl " + args.front() + " failed: " + (failure != nullptr ? failure->message : "") +
                 (err != nullptr && err[0] != '\0' ? " (" + first_line(err) + ")" : "");
        return false;
    }
    return true;
}

bool apply_resolved(Applied *what, std::string *error) {
    if (what->device.empty() || if_nametoindex(what->device.c_str()) == 0) {
        *error = "the tunnel device is not known";
        return false;
    }
    std::vector<std::string> dns{"dns", what->device};
    dns.insert(dns.end(), what->servers.begin(), what->servers.end());
    // "~." routes every name to the tunnel's servers, not just its domains.
    std::vector<std::string> domain{"domain", what->device, "~."};
    domain.insert(domain.end(), what->domains.begin(), what->domains.end());
    if (!write_record(what, error)) {
        return false;
    }
    if (resolvectl(dns, error) && resolvectl(domain, error)) {
        return true;
    }
    std::string ignored;
    resolvectl({"revert", what->device}, &ignored);
    write_record(nullptr, &ignored);
    return false;
}

// A link that is gone took its settings with it.
bool undo_resolved(const Applied &what, std::string *error) {
    if (if_nametoindex(what.device.c_str()) == 0) {
        return true;
    }
    return resolvectl({"revert", what.device}, error);
}

// --- the resolver file ------------------------------------------------------

bool apply_file(Applied *what, std::string *error) {
    const std::string path = resolv_conf_path();
    if (!pelk_vpn_dns_resolv_conf_read(path, &what->file, error)) {
        return false;
    }
    // Recorded before the file changes and again after, so a crash at any
    // point leaves a record that can put the old file back.
    what->file.written = pelk_vpn_dns_resolv_conf_text(what->servers, what->domains);
    if (!write_record(what, error)) {
        return false;
    }
    const std::string text = what->file.written;
    if (!pelk_vpn_dns_resolv_conf_write(path, &what->file, text, error)) {
        std::string ignored;
        write_record(nullptr, &ignored);
        return false;
    }
    if (!write_record(what, error)) {
        std::string ignored;
        pelk_vpn_dns_resolv_conf_restore(path, what->file, &ignored);
        write_record(nullptr, &ignored);
        return false;
    }
    return true;
}

// Called with dns_lock held. Logs one line; the record goes unless the
// file could not be put back (a later start tries again).
void undo_locked(const Applied &what, const char *whose) {
    std::string error;
    bool keep_record = false;
    if (what.resolved) {
        if (undo_resolved(what, &error)) {
            log_line("name servers " + describe(what) + whose + " taken back from " + where(what));
        } else {
            log_line("cannot take back name servers " + describe(what) + whose + " from " + where(what) + ": " + error);
        }
    } else {
        switch (pelk_vpn_dns_resolv_conf_restore(resolv_conf_path(), what.file, &error)) {
        case PELK_VPN_DNS_RESOLV_CONF_RESTORED:
            log_line("name servers " + describe(what) + whose + " taken back from " + where(what));
            break;
        case PELK_VPN_DNS_RESOLV_CONF_NOT_OURS:
            log_line("name servers " + describe(what) + whose + " not taken back: " + error);
            break;
        case PELK_VPN_DNS_RESOLV_CONF_FAILED:
            log_line("cannot take back name servers " + describe(what) + whose + ": " + error);
            keep_record = true;
            break;
        }
    }
    if (!keep_record && !write_record(nullptr, &error)) {
        log_line(error);
    }
}

void read_line(void *, const char *line, size_t length) { pelk_vpn_dns_options_read_line(&options, line, length); }

}  // namespace

bool pelk_vpn_dns_resolver_uses_resolved(bool running, const std::string &link_target,
                                         const std::string &resolv_conf_text) {
    if (!running) {
        return false;
    }
    if (link_target.find("run/systemd/resolve/") != std::string::npos) {
        return true;
    }
    // Its stub listens on these two; a file naming them sends lookups to it.
    for (const char *stub : {"127.0.0.53", "127.0.0.54"}) {
        const std::string wanted = std::string("nameserver ") + stub;
        size_t at = 0;
        while ((at = resolv_conf_text.find(wanted, at)) != std::string::npos) {
            const size_t end = at + wanted.size();
            const bool line_start = at == 0 || resolv_conf_text[at - 1] == '\n';
            const bool line_end = end == resolv_conf_text.size() || resolv_conf_text[end] == '\n' ||
                                  resolv_conf_text[end] == ' ' || resolv_conf_text[end] == '\t';
            if (line_start && line_end) {
                return true;
            }
            at = end;
        }
    }
    return false;
}

void pelk_vpn_dns_resolver_resolv_conf_override(const char *path) {
    std::lock_guard<std::mutex> guard(dns_lock);
    resolv_conf_override = path != nullptr ? path : "";
}

void pelk_vpn_dns_resolver_resolvectl_override(const char *program) {
    std::lock_guard<std::mutex> guard(dns_lock);
    resolvectl_override = program != nullptr ? program : "";
}

void pelk_vpn_dns_resolver_read_output(unsigned int connection, const char *piece) {
    if (piece == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(dns_lock);
    if (connection != reading_connection) {
        // Another child's output: nothing its server pushed carries over.
        reading_connection = connection;
        lines = pelk_vpn_dns_lines{};
        options = pelk_vpn_dns_options{};
    }
    pelk_vpn_dns_lines_feed(&lines, piece, strlen(piece), read_line, nullptr);
}

int pelk_vpn_dns_resolver_apply(unsigned int connection) {
    std::lock_guard<std::mutex> guard(dns_lock);
    if (connection == 0 || connection <= closed_through || connection != reading_connection) {
        return 0;
    }
    Applied wanted;
    wanted.connection = connection;
    wanted.device = options.device;
    wanted.servers = options.servers;
    wanted.domains = options.domains;
    if (applied && applied->connection == connection && applied->device == wanted.device &&
        applied->servers == wanted.servers && applied->domains == wanted.domains) {
        return 0;  // a restart of the same tunnel pushed the same again
    }
    if (applied) {
        undo_locked(*applied, "");
        applied.reset();
    }
    if (wanted.servers.empty()) {
        return 0;
    }
    const std::string refused =
        options.refused > 0 ? " (" + std::to_string(options.refused) + " pushed option(s) refused)" : "";
    wanted.resolved = lookups_use_resolved();
    std::string error;
    if (!(wanted.resolved ? apply_resolved(&wanted, &error) : apply_file(&wanted, &error))) {
        log_line("cannot set name servers " + describe(wanted) + " on " + where(wanted) + ": " + error);
        return -1;
    }
    log_line("name servers " + describe(wanted) + " set on " + where(wanted) + refused);
    applied = wanted;
    return 0;
}

void pelk_vpn_dns_resolver_undo(unsigned int through) {
    std::lock_guard<std::mutex> guard(dns_lock);
    closed_through = std::max(closed_through, through);
    if (applied) {
        undo_locked(*applied, "");
        applied.reset();
    }
}

void pelk_vpn_dns_resolver_undo_recorded(void) {
    std::lock_guard<std::mutex> guard(dns_lock);
    if (applied) {
        return;  // this run's own, taken back at its disconnect
    }
    std::string error;
    const std::optional<std::string> text = read_record(&error);
    if (!text) {
        if (!error.empty()) {
            log_line(error);
        }
        return;
    }
    Applied earlier;
    if (!parse_record(*text, &earlier)) {
        log_line("the record of an earlier run cannot be read; deleted");
        if (!write_record(nullptr, &error)) {
            log_line(error);
        }
        return;
    }
    undo_locked(earlier, " of an earlier run");
}

void pelk_vpn_dns_resolver_tunnel(unsigned int connection, std::string *device, bool *pushed_servers) {
    std::lock_guard<std::mutex> guard(dns_lock);
    device->clear();
    *pushed_servers = false;
    if (connection != 0 && connection == reading_connection) {
        *device = options.device;
        *pushed_servers = !options.servers.empty();
    }
}

std::string pelk_vpn_dns_resolver_resolv_conf_path(void) {
    std::lock_guard<std::mutex> guard(dns_lock);
    return resolv_conf_path();
}
