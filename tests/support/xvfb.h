#pragma once

#include <string>

#include <sys/types.h>

namespace veltra_test {

// A private X server for tests that need a display. Xvfb picks a free
// display number itself; the server is killed and reaped on destruction.
class Xvfb {
  public:
    Xvfb();
    ~Xvfb();
    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;

    bool ok() const { return !display_.empty(); }
    // ":N", for DISPLAY.
    const std::string &display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace veltra_test
