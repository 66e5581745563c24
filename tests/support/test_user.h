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
    // Starts a process of the user's that waits until the user is removed:
    // what sudo's or pkexec's caller is while the client runs for it.
    bool keep_running();
    // The folder of the client's logs of one kind ("dev", "out", "err") when
    // its window runs as this user.
    std::string log_folder(const std::string &kind) const { return home_ + "/.local/state/veltra/Logs/" + kind; }

  private:
    std::string name_;
    std::string home_;
    uid_t uid_ = static_cast<uid_t>(-1);
    gid_t gid_ = static_cast<gid_t>(-1);
    int waiting_ = -1;
};

}  // namespace veltra_test
