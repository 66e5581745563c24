// pelk_logger_log_*, pelk_write_dev_log: the per-run log files.
#include "base/logger.h"

#include "base/clock.h"
#include "base/global_variables.h"
#include "base/owned_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// Serialises the developer log so that the copy on standard output and the
// copy in the file keep the same order, and no text is split by another.
std::mutex dev_log_lock;
// Where the developer log goes instead, in a process that keeps none.
std::atomic<void (*)(const char *)> dev_log_forward{nullptr};

bool write_all(int fd, const char *text, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, text, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Length of the well-formed UTF-8 sequence at text, or 0 when the bytes
// there are not one.
size_t utf8_sequence_length(const unsigned char *text, size_t available) {
    const unsigned char lead = text[0];
    size_t length = 0;
    unsigned int lowest = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (available < length) {
        return 0;
    }
    unsigned int code = lead & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xc0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (text[i] & 0x3f);
    }
    if (code < lowest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        return 0;
    }
    return length;
}

void append_escaped(std::string *out, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    const char escaped[] = {'\\', 'x', digits[byte >> 4], digits[byte & 0x0f]};
    out->append(escaped, sizeof escaped);
}

// Logs copy texts from outside (service replies, OpenVPN's output); on a
// terminal or in a viewer their control bytes would be commands, not text.
// Line ends and tabs stay. C1 controls are escaped both as UTF-8 (U+0080 to
// U+009F) and as stray 8-bit bytes, which some terminals also obey.
std::string escape_controls(const char *text) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    const size_t size = strlen(text);
    std::string out;
    out.reserve(size);
    for (size_t i = 0; i < size;) {
        const unsigned char byte = bytes[i];
        if (byte < 0x80) {
            if ((byte < 0x20 && byte != '\n' && byte != '\r' && byte != '\t') || byte == 0x7f) {
                append_escaped(&out, byte);
            } else {
                out += static_cast<char>(byte);
            }
            ++i;
            continue;
        }
        const size_t length = utf8_sequence_length(bytes + i, size - i);
        if (length == 0) {
            if (byte <= 0x9f) {
                append_escaped(&out, byte);
            } else {
                out += static_cast<char>(byte);
            }
            ++i;
            continue;
        }
        const bool c1 = byte == 0xc2 && bytes[i + 1] <= 0x9f;
        for (size_t k = 0; k < length; ++k) {
            if (c1) {
                append_escaped(&out, bytes[i + k]);
            } else {
                out += static_cast<char>(bytes[i + k]);
            }
        }
        i += length;
    }
    return out;
}

// Opens the log file for appending, or -1. The client runs as root and the
// logs hold replies of the account service, so: the folder must be a real
// folder of our own that nobody else may write to, a new file is created
// exclusively (0600), and an existing one (two runs in one UTC second share
// a name) is used only when it is a plain file of ours, never a link, a
// device or a pipe.
int open_log(const char *path) {
    const std::string whole = path;
    const size_t slash = whole.find_last_of('/');
    const std::string name = slash == std::string::npos ? whole : whole.substr(slash + 1);
    // No trailing '/' on the folder: it would make open() follow a link
    // despite O_NOFOLLOW.
    std::string folder(".");
    if (slash != std::string::npos) {
        const size_t last = whole.find_last_not_of('/', slash);
        folder = last == std::string::npos ? std::string(1, '/') : whole.substr(0, last + 1);
    }
    if (name.empty()) {
        return -1;
    }
    const pelk_owned_fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (dir.get() < 0 || fstat(dir.get(), &info) != 0 || info.st_uid != geteuid() || (info.st_mode & 022) != 0) {
        return -1;
    }
    // O_APPEND makes each write land at the end even when another thread or
    // a second instance appends to the same file.
    int fd = openat(dir.get(), name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) {
        return fd;
    }
    // O_NONBLOCK keeps a planted pipe from blocking the open; it changes
    // nothing for the regular file that is the only thing accepted.
    fd = openat(dir.get(), name.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

char *pelk_logger_log_generate_name(void) {
    const pelk_system_time now = pelk_platform_specific_get_system_time();
    char *name = nullptr;
    if (asprintf(&name, "%i_%i_%i_%i_%i_%i.log", now.year, now.month, now.day, now.hour, now.minute, now.second) < 0) {
        return strdup("");
    }
    return name;
}

char *pelk_logger_log_new(const char *folder) {
    char *name = pelk_logger_log_generate_name();
    char *path = nullptr;
    const int length = asprintf(&path, "%s%s", folder != nullptr ? folder : "", name);
    free(name);
    return length < 0 ? nullptr : path;
}

void pelk_logger_log_write(const char *path, const char *text) {
    if (path == nullptr || path[0] == '\0' || text == nullptr) {
        return;
    }
    const int fd = open_log(path);
    if (fd < 0) {
        return;
    }
    const std::string escaped = escape_controls(text);
    write_all(fd, escaped.data(), escaped.size());
    close(fd);
}

void pelk_logger_forward_dev_log(void (*forward)(const char *text)) { dev_log_forward = forward; }

void pelk_write_out_log_reason(const char *reason) {
    const std::string line = std::string("Veltra: ") + (reason != nullptr ? reason : "") + "\n";
    pelk_logger_log_write(pelk_global_variable_out_log_path(), line.c_str());
    pelk_write_dev_log(line.c_str());
}

void pelk_write_dev_log(const char *text) {
    if (text == nullptr) {
        return;
    }
    if (auto *forward = dev_log_forward.load()) {
        forward(text);
        return;
    }
    std::lock_guard<std::mutex> guard(dev_log_lock);
    fputs(escape_controls(text).c_str(), stdout);
    fflush(stdout);
    pelk_logger_log_write(pelk_global_variable_dev_log_path(), text);
}
