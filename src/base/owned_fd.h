// pelk_owned_fd, pelk_owned_fd_write_all: an owned file descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

// One file descriptor owned on the C++ side: closed when its owner goes, so
// no early return can leak it. Movable, not copyable.
class pelk_owned_fd {
  public:
    explicit pelk_owned_fd(int fd = -1) noexcept : fd_(fd) {}
    ~pelk_owned_fd() { reset(); }
    pelk_owned_fd(pelk_owned_fd &&other) noexcept : fd_(other.release()) {}
    pelk_owned_fd &operator=(pelk_owned_fd &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    pelk_owned_fd(const pelk_owned_fd &) = delete;
    pelk_owned_fd &operator=(const pelk_owned_fd &) = delete;

    int get() const noexcept { return fd_; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

// Up to size bytes from fd, fewer when it ends first or fails.
inline std::string pelk_owned_fd_read(int fd, size_t size) {
    std::string text(size, '\0');
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, text.data() + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    return text;
}

// Writes all of text to fd; false (errno set) when it cannot.
inline bool pelk_owned_fd_write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
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
