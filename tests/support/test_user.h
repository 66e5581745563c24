#pragma once

#include <sys/types.h>

#include <string>

namespace veltra_test {

// An unprivileged account made for one test (root only), with a private
// home in a temporary folder; removed with its home on destruction.
class TestUser {
  public:
    TestUser();
    ~TestUser();
    TestUser(const TestUser &) = delete;
    TestUser &operator=(const TestUser &) = delete;

    bool ok() const { return uid_ != static_cast<uid_t>(-1); }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    const std::string &home() const { return home_; }
    // Writes a file into the home as the user would (owned by the user).
    bool write(const std::string &relative, const std::string &content, int mode = 0644) const;

  private:
    std::string name_;
    std::string home_;
    uid_t uid_ = static_cast<uid_t>(-1);
    gid_t gid_ = static_cast<gid_t>(-1);
};

}  // namespace veltra_test
