#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace veltra_test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string &name) const;

  private:
    std::string path_;
};

// Polls predicate every few milliseconds until it holds or the deadline
// passes; returns its last answer. Tests wait for conditions, never for time.
bool wait_for(const std::function<bool()> &predicate, std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Whole content of a file, or "" when it cannot be read.
std::string read_file(const std::string &path);

// Entries of a folder whose names start with prefix.
int count_entries(const std::string &folder, const std::string &prefix = "");

// Occurrences of what in text, overlapping ones included.
int count_occurrences(const std::string &text, const std::string &what);

// Takes over a malloc'd text: its content ("" for nullptr), then frees it.
std::string take_text(char *text);

}  // namespace veltra_test
