// pelk_vpn_dns_resolv_conf_*: reading, writing and restoring /etc/resolv.conf.
#include "vpn/dns_resolv_conf.h"

#include "base/owned_fd.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// A resolver file is a few lines; anything far larger is not one we keep
// a copy of in memory and in the run record.
constexpr size_t kMaxFileSize = 64 * 1024;
constexpr int kNameAttempts = 100;

bool fail(std::string *error, const std::string &what) {
    *error = what + ": " + strerror(errno);
    return false;
}

std::string folder_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all(int fd, const std::string &bytes, off_t offset) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads a regular file through fd; false when it grows past the limit.
bool read_all(int fd, std::string *bytes) {
    bytes->clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (bytes->size() + static_cast<size_t>(n) > kMaxFileSize) {
            errno = EFBIG;
            return false;
        }
        bytes->append(buffer, static_cast<size_t>(n));
    }
}

void sync_folder(const std::string &folder) {
    const pelk_owned_fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        fsync(dir.get());
    }
}

// A new file beside path with bytes, mode and owner, renamed over path: a
// reader sees the old file or the new one whole, never a mix. EBUSY or
// EXDEV in errno when path is a mount point.
bool replace_by_rename(const std::string &path, const std::string &bytes, unsigned int mode, unsigned int uid,
                       unsigned int gid, struct stat *written, std::string *error) {
    const std::string folder = folder_of(path);
    std::string scratch = folder + "/.resolv.conf.veltra-XXXXXX";
    const pelk_owned_fd fd(g_mkstemp_full(scratch.data(), O_WRONLY | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        return fail(error, "cannot create a file in " + folder);
    }
    const bool ready = write_all(fd.get(), bytes, 0) && fchown(fd.get(), uid, gid) == 0 &&
                       fchmod(fd.get(), mode & 07777) == 0 && fsync(fd.get()) == 0 && fstat(fd.get(), written) == 0;
    if (!ready || rename(scratch.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        unlink(scratch.c_str());
        errno = saved;
        return fail(error, ready ? "cannot rename over " + path : "cannot write " + scratch);
    }
    sync_folder(folder);
    return true;
}

// Writes bytes into the file at path itself. Not atomic, so used only where
// a rename cannot work; the caller has kept the old bytes first.
bool replace_in_place(const std::string &path, const std::string &bytes, struct stat *written, std::string *error) {
    const pelk_owned_fd fd(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        return fail(error, "cannot open " + path);
    }
    if (fstat(fd.get(), written) != 0 || !S_ISREG(written->st_mode)) {
        errno = EINVAL;
        return fail(error, path + " is not a plain file");
    }
    // Written first and cut after, so the file never reads as empty.
    if (!write_all(fd.get(), bytes, 0) || ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0 ||
        fsync(fd.get()) != 0) {
        return fail(error, "cannot write " + path);
    }
    return true;
}

bool link_by_rename(const std::string &path, const std::string &target, std::string *error) {
    const std::string folder = folder_of(path);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string scratch =
            folder + "/.resolv.conf.veltra-" + std::to_string(g_random_int_range(0, G_MAXINT32));
        if (symlink(target.c_str(), scratch.c_str()) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            return fail(error, "cannot make a link in " + folder);
        }
        if (rename(scratch.c_str(), path.c_str()) != 0) {
            const int saved = errno;
            unlink(scratch.c_str());
            errno = saved;
            return fail(error, "cannot rename over " + path);
        }
        sync_folder(folder);
        return true;
    }
    errno = EEXIST;
    return fail(error, "cannot make a link in " + folder);
}

bool is_still_ours(const std::string &path, const pelk_vpn_dns_resolv_conf_state &state) {
    const pelk_owned_fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    // No identity is known when the client died between keeping the old
    // file and writing its own; then the bytes alone must tell.
    const bool identity_known = state.device != 0 || state.inode != 0;
    if (identity_known && (static_cast<unsigned long long>(info.st_dev) != state.device ||
                           static_cast<unsigned long long>(info.st_ino) != state.inode)) {
        return false;
    }
    std::string bytes;
    return read_all(fd.get(), &bytes) && bytes == state.written;
}

}  // namespace

std::string pelk_vpn_dns_resolv_conf_text(const std::vector<std::string> &servers,
                                          const std::vector<std::string> &domains) {
    std::string text =
        "# Written by Veltra while its VPN tunnel is up; the earlier file comes back when the tunnel "
        "goes down.\n";
    for (const std::string &server : servers) {
        text += "nameserver " + server + "\n";
    }
    if (!domains.empty()) {
        text += "search";
        for (const std::string &domain : domains) {
            text += " " + domain;
        }
        text += "\n";
    }
    return text;
}

bool pelk_vpn_dns_resolv_conf_read(const std::string &path, pelk_vpn_dns_resolv_conf_state *state, std::string *error) {
    *state = pelk_vpn_dns_resolv_conf_state{};
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        return fail(error, "cannot inspect " + path);
    }
    state->mode = info.st_mode & 07777;
    state->uid = info.st_uid;
    state->gid = info.st_gid;
    if (S_ISLNK(info.st_mode)) {
        char target[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
            return fail(error, "cannot read the link " + path);
        }
        state->kind = PELK_VPN_DNS_RESOLV_CONF_LINK;
        state->link_target.assign(target, static_cast<size_t>(length));
        // A link made again gets the default mode; only files keep theirs.
        state->mode = 0644;
        return true;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return fail(error, path + " is neither a file nor a link");
    }
    const pelk_owned_fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || !read_all(fd.get(), &state->bytes)) {
        return fail(error, "cannot read " + path);
    }
    state->kind = PELK_VPN_DNS_RESOLV_CONF_FILE;
    return true;
}

bool pelk_vpn_dns_resolv_conf_write(const std::string &path, pelk_vpn_dns_resolv_conf_state *state,
                                    const std::string &text, std::string *error) {
    struct stat written {};
    state->in_place = false;
    const unsigned int mode = state->kind == PELK_VPN_DNS_RESOLV_CONF_FILE ? state->mode : 0644;
    const unsigned int uid = state->kind == PELK_VPN_DNS_RESOLV_CONF_FILE ? state->uid : geteuid();
    const unsigned int gid = state->kind == PELK_VPN_DNS_RESOLV_CONF_FILE ? state->gid : getegid();
    if (!replace_by_rename(path, text, mode, uid, gid, &written, error)) {
        if (state->kind != PELK_VPN_DNS_RESOLV_CONF_FILE || (errno != EBUSY && errno != EXDEV)) {
            return false;
        }
        if (!replace_in_place(path, text, &written, error)) {
            // Half written: the old bytes go back the same way.
            struct stat ignored {};
            std::string ignored_error;
            replace_in_place(path, state->bytes, &ignored, &ignored_error);
            return false;
        }
        state->in_place = true;
    }
    state->written = text;
    state->device = static_cast<unsigned long long>(written.st_dev);
    state->inode = static_cast<unsigned long long>(written.st_ino);
    return true;
}

pelk_vpn_dns_resolv_conf_restored pelk_vpn_dns_resolv_conf_restore(const std::string &path,
                                                                   const pelk_vpn_dns_resolv_conf_state &state,
                                                                   std::string *error) {
    if (!is_still_ours(path, state)) {
        *error = path + " has been replaced since; left as it is";
        return PELK_VPN_DNS_RESOLV_CONF_NOT_OURS;
    }
    bool done = false;
    struct stat ignored {};
    switch (state.kind) {
    case PELK_VPN_DNS_RESOLV_CONF_FILE:
        done = state.in_place ? replace_in_place(path, state.bytes, &ignored, error)
                              : replace_by_rename(path, state.bytes, state.mode, state.uid, state.gid, &ignored, error);
        break;
    case PELK_VPN_DNS_RESOLV_CONF_LINK:
        done = link_by_rename(path, state.link_target, error);
        break;
    case PELK_VPN_DNS_RESOLV_CONF_ABSENT:
        done = unlink(path.c_str()) == 0 || errno == ENOENT || fail(error, "cannot remove " + path);
        break;
    }
    return done ? PELK_VPN_DNS_RESOLV_CONF_RESTORED : PELK_VPN_DNS_RESOLV_CONF_FAILED;
}
