#pragma once

#include <unistd.h>

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
