// config_generator_*: OpenVPN's configuration and credentials files.
#include "vpn/config_generator.h"

#include "vpn/config_generator_internal.h"

#include "base/logger.h"
#include "base/owned_fd.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

const char *const config_generator_run_record_name = "files.run";

namespace {

// OpenVPN reads its configuration into 256-byte line buffers and quietly
// splits longer lines; each "remote" line, line end included, must fit.
constexpr size_t kRemoteLineSize = 256;

constexpr const char *kHead[] = {
    "client\n", "dev tun\n", "proto udp\n", "tun-mtu 1500\n", "tun-mtu-extra 32\n", "mssfix 1450\n", "remote-random\n",
};
// The last line is not the original file's: without it any certificate of
// the VPN servers' CA, another user's client certificate included, could act
// as the server.
constexpr const char *kTail[] = {
    "resolv-retry infinite\n",  "nobind\n",       "persist-key\n", "persist-tun\n",      "persist-remote-ip\n",
    "auth-user-pass\n",         "auth-nocache\n", "comp-lzo\n",    "reneg-sec 604800\n", "verb 3\n",
    "remote-cert-tls server\n",
};

// File names: the prefix and six letters or digits, as g_file_new_tmp makes
// them from "pelkXXXXXX".
constexpr const char *kNamePrefix = "pelk";
constexpr size_t kNameRandomLength = 6;
constexpr const char kNameAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kCreateAttempts = 100;

// A record names two files per connection; anything far larger is not ours.
constexpr off_t kMaxRecordSize = 64 * 1024;

constexpr const char *kRecordScratchName = "files.run.new";

// Guards the folder overrides and serialises this process's changes of the
// run record. Lock order: files_lock, then the flock on the records' folder
// (which keeps a second instance's changes apart).
std::mutex files_lock;
// Both outlive exit(), like their readers.
std::string &folder_override = *new std::string;
std::string &records_override = *new std::string;

void log_failure(const std::string &what, const char *detail) {
    const std::string line = "config_generator: " + what + ": " + (detail != nullptr ? detail : "refused") + "\n";
    pelk_write_dev_log(line.c_str());
}

// The user's temporary folder ($TMPDIR) must never be used by root: its
// owner could swap the configuration between our writing and OpenVPN's
// reading. /run is root's alone and never on disk, so a password in it dies
// with a reboot; a run without root has no other user to fear, but still
// keeps its files out of everyone else's reach.
std::string default_folder() {
    if (geteuid() == 0) {
        return "/run/veltra";
    }
    return "/tmp/veltra-" + std::to_string(geteuid());
}

std::string folder_locked() { return folder_override.empty() ? default_folder() : folder_override; }

// The records must outlive a reboot: after a crash, the name servers they
// name stay in the resolver file until the next start takes them back.
std::string records_folder_locked() {
    if (!records_override.empty()) {
        return records_override;
    }
    if (!folder_override.empty() || geteuid() != 0) {
        return folder_locked();
    }
    return "/var/lib/veltra";
}

// Opens one of the private folders, making it when missing. Refused (-1, errno set)
// unless it is a real folder owned by us; one of ours that others could
// enter is narrowed first.
int open_private_folder(const std::string &folder, bool create) {
    if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return -1;
    }
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_uid != geteuid() || ((info.st_mode & 077) != 0 && fchmod(fd, 0700) != 0)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

bool is_generated_name(const std::string &name) {
    if (name.size() != strlen(kNamePrefix) + kNameRandomLength || name.rfind(kNamePrefix, 0) != 0) {
        return false;
    }
    for (size_t i = strlen(kNamePrefix); i < name.size(); ++i) {
        if (strchr(kNameAlphabet, name[i]) == nullptr || name[i] == '\0') {
            return false;
        }
    }
    return true;
}

// The name of a generated file at path inside folder, or "" when path is
// anything else ("../", another folder, a name we never make).
std::string generated_name_in(const std::string &folder, const std::string &path) {
    const std::string prefix = folder + "/";
    if (path.rfind(prefix, 0) != 0) {
        return "";
    }
    const std::string name = path.substr(prefix.size());
    return is_generated_name(name) ? name : "";
}

int create_exclusive(int dir, std::string *name) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        std::string candidate = kNamePrefix;
        for (size_t i = 0; i < kNameRandomLength; ++i) {
            candidate += kNameAlphabet[g_random_int_range(0, sizeof kNameAlphabet - 1)];
        }
        const int fd = openat(dir, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *name = candidate;
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// The record's lines; empty when there is none. false when a record is
// there but is not a plain file of ours (or cannot be read).
bool read_record(int dir, std::vector<std::string> *entries) {
    entries->clear();
    const pelk_owned_fd fd(
        openat(dir, config_generator_run_record_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        return errno == ENOENT;
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        info.st_size > kMaxRecordSize) {
        errno = EPERM;
        return false;
    }
    const std::string text = pelk_owned_fd_read(fd.get(), static_cast<size_t>(info.st_size));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            entries->push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return true;
}

// Replaces the record whole (write, then rename), so a crash leaves either
// the old or the new one; an empty list removes it.
bool write_record(int dir, const std::vector<std::string> &entries) {
    if (entries.empty()) {
        return unlinkat(dir, config_generator_run_record_name, 0) == 0 || errno == ENOENT;
    }
    std::string text;
    for (const std::string &entry : entries) {
        text += entry + "\n";
    }
    unlinkat(dir, kRecordScratchName, 0);
    const int fd = openat(dir, kRecordScratchName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = pelk_owned_fd_write_all(fd, text);
    if (close(fd) != 0 || !written || renameat(dir, kRecordScratchName, dir, config_generator_run_record_name) != 0) {
        const int error = errno;
        unlinkat(dir, kRecordScratchName, 0);
        errno = error;
        return false;
    }
    return true;
}

// Adds path to the record or takes it out. Called with files_lock held.
bool change_record(int dir, const std::string &path, bool add) {
    if (flock(dir, LOCK_EX) != 0) {
        return false;
    }
    std::vector<std::string> entries;
    bool done = read_record(dir, &entries);
    if (done) {
        std::erase(entries, path);
        if (add) {
            entries.push_back(path);
        }
        done = write_record(dir, entries);
    }
    const int error = errno;
    flock(dir, LOCK_UN);
    errno = error;
    return done;
}

// Makes a new file in the private folder holding the texts, in order, and
// closes it. The texts are written straight from the caller's memory, so no
// copy of a password is left behind in ours. A file that could not be
// written whole is removed: OpenVPN must never read half a configuration or
// half a password.
char *write_new_file(const std::vector<const char *> &texts) {
    std::lock_guard<std::mutex> guard(files_lock);
    const std::string folder = folder_locked();
    const std::string records = records_folder_locked();
    const pelk_owned_fd dir(open_private_folder(folder, true));
    const pelk_owned_fd record_dir(records == folder ? dup(dir.get()) : open_private_folder(records, true));
    if (dir.get() < 0 || record_dir.get() < 0) {
        log_failure("cannot use folder " + (dir.get() < 0 ? folder : records), strerror(errno));
        return nullptr;
    }
    std::string name;
    const pelk_owned_fd fd(create_exclusive(dir.get(), &name));
    if (fd.get() < 0) {
        log_failure("cannot create file in " + folder, strerror(errno));
        return nullptr;
    }
    const std::string path = folder + "/" + name;
    // Recorded before a byte is written, so no file of ours with a password
    // can exist unrecorded for longer than this step.
    if (!change_record(record_dir.get(), path, true)) {
        const int error = errno;
        unlinkat(dir.get(), name.c_str(), 0);
        log_failure("cannot record file", strerror(error));
        return nullptr;
    }
    bool complete = fchmod(fd.get(), 0600) == 0;
    for (const char *text : texts) {
        if (!complete || write_data(fd.get(), text) != static_cast<ssize_t>(strlen(text))) {
            complete = false;
            break;
        }
    }
    const int error = errno;
    if (!complete) {
        unlinkat(dir.get(), name.c_str(), 0);
        change_record(record_dir.get(), path, false);
        log_failure("cannot write file", strerror(error));
        return nullptr;
    }
    return g_strdup(path.c_str());
}

}  // namespace

void config_generator_files_folder_override(const char *folder) {
    std::lock_guard<std::mutex> guard(files_lock);
    folder_override = folder != nullptr ? folder : "";
}

std::string config_generator_files_folder(void) {
    std::lock_guard<std::mutex> guard(files_lock);
    return folder_locked();
}

void config_generator_records_folder_override(const char *folder) {
    std::lock_guard<std::mutex> guard(files_lock);
    records_override = folder != nullptr ? folder : "";
}

std::string config_generator_records_folder(void) {
    std::lock_guard<std::mutex> guard(files_lock);
    return records_folder_locked();
}

int config_generator_records_folder_open(void) {
    std::lock_guard<std::mutex> guard(files_lock);
    return open_private_folder(records_folder_locked(), true);
}

ssize_t write_data(int fd, const char *text) {
    const std::string bytes = text != nullptr ? text : "";
    return pelk_owned_fd_write_all(fd, bytes) ? static_cast<ssize_t>(bytes.size()) : -1;
}

// OpenVPN takes the address as one word of a directive line; only what a
// host name or an IPv4/IPv6 address is made of can never end that line or
// add a word of its own.
bool config_generator_is_server_address(const char *address) {
    if (address == nullptr || address[0] == '\0') {
        return false;
    }
    for (const char *c = address; *c != '\0'; ++c) {
        const bool allowed = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
                             *c == '.' || *c == ':' || *c == '-';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

char *config_generator_create_openvpn_config_file(const char *server_address, const int32_t *ports, int port_count) {
    const char *address = server_address != nullptr ? server_address : "";
    if (!config_generator_is_server_address(address)) {
        log_failure("server address holds characters OpenVPN would misread", nullptr);
        return nullptr;
    }
    std::vector<std::string> remotes;
    for (int i = 0; i < port_count; ++i) {
        char line[kRemoteLineSize];
        const int length = snprintf(line, sizeof line, "remote %s %i\n", address, ports[i]);
        if (length < 0 || static_cast<size_t>(length) >= sizeof line) {
            log_failure("remote line too long", nullptr);
            return nullptr;
        }
        remotes.emplace_back(line);
    }
    std::vector<const char *> texts(std::begin(kHead), std::end(kHead));
    for (const std::string &remote : remotes) {
        texts.push_back(remote.c_str());
    }
    texts.insert(texts.end(), std::begin(kTail), std::end(kTail));
    return write_new_file(texts);
}

char *config_generator_create_credentials_file(const char *user_name, const char *password) {
    const char *user = user_name != nullptr ? user_name : "";
    const char *secret = password != nullptr ? password : "";
    // OpenVPN takes the first line as the name and the second as the
    // password; a line break inside either would send something else.
    if (strpbrk(user, "\r\n") != nullptr || strpbrk(secret, "\r\n") != nullptr) {
        log_failure("user name or password holds a line break", nullptr);
        return nullptr;
    }
    return write_new_file({user, "\n", secret, "\n"});
}

void config_generator_delete_file(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    g_remove(path);
    std::lock_guard<std::mutex> guard(files_lock);
    const std::string folder = folder_locked();
    if (generated_name_in(folder, path).empty()) {
        return;
    }
    const std::string records = records_folder_locked();
    const pelk_owned_fd dir(open_private_folder(records, false));
    if (dir.get() < 0 || !change_record(dir.get(), path, false)) {
        log_failure("cannot update run record", strerror(errno));
    }
}

void config_generator_delete_recorded_files(void) {
    std::lock_guard<std::mutex> guard(files_lock);
    const std::string folder = folder_locked();
    const std::string records = records_folder_locked();
    const pelk_owned_fd record_dir(open_private_folder(records, false));
    if (record_dir.get() < 0) {
        if (errno != ENOENT) {
            log_failure("cannot use folder " + records, strerror(errno));
        }
        return;
    }
    if (flock(record_dir.get(), LOCK_EX) != 0) {
        log_failure("cannot lock folder " + records, strerror(errno));
        return;
    }
    std::vector<std::string> entries;
    if (!read_record(record_dir.get(), &entries)) {
        log_failure("run record unreadable, left alone", strerror(errno));
        flock(record_dir.get(), LOCK_UN);
        return;
    }
    // After a reboot the files' folder is gone with everything in it.
    const pelk_owned_fd dir(open_private_folder(folder, false));
    if (dir.get() < 0 && errno != ENOENT) {
        log_failure("cannot use folder " + folder, strerror(errno));
    }
    int deleted = 0;
    for (const std::string &entry : entries) {
        const std::string name = generated_name_in(folder, entry);
        struct stat info {};
        if (name.empty()) {
            log_failure("run record names a file outside " + folder + ", left alone: " + entry, nullptr);
        } else if (dir.get() < 0 || fstatat(dir.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone already: nothing of it is left to remove.
        } else if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
            log_failure("run record names something other than a file of ours, left alone: " + entry, nullptr);
        } else if (unlinkat(dir.get(), name.c_str(), 0) != 0) {
            log_failure("cannot delete " + entry, strerror(errno));
        } else {
            ++deleted;
        }
    }
    if (unlinkat(record_dir.get(), config_generator_run_record_name, 0) != 0 && errno != ENOENT) {
        log_failure("cannot delete run record", strerror(errno));
    }
    flock(record_dir.get(), LOCK_UN);
    if (deleted > 0) {
        const std::string line =
            "config_generator: deleted " + std::to_string(deleted) + " file(s) of an earlier run\n";
        pelk_write_dev_log(line.c_str());
    }
}
