#include "app/logger.h"

#include "app/global_variables.h"
#include "platform/clock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// Serialises the developer log so that the copy on standard output and the
// copy in the file keep the same order, and no text is split by another.
std::mutex dev_log_lock;

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
    // O_APPEND makes each write land at the end even when another thread or
    // a second instance appends to the same file.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return;
    }
    write_all(fd, text, strlen(text));
    close(fd);
}

void pelk_write_dev_log(const char *text) {
    if (text == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(dev_log_lock);
    fputs(text, stdout);
    fflush(stdout);
    pelk_logger_log_write(pelk_global_variable_dev_log_path(), text);
}
