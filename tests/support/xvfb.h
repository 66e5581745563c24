#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace veltra_test {

// A private X server for tests that need a display. Xvfb picks a free
// display number itself; the server is killed and reaped on destruction.
class Xvfb {
  public:
    Xvfb() : Xvfb(std::vector<std::string>{}) {}
    // extra_args go after the screen layout, e.g. {"-nocursor"}: GUI tests
    // compare screenshots, which must not show the pointer.
    explicit Xvfb(const std::vector<std::string> &extra_args);
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
