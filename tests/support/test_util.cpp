#include "support/test_util.h"

#include <glib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace veltra_test {

TempDir::TempDir() {
    g_autoptr(GError) error = nullptr;
    g_autofree char *dir = g_dir_make_tmp("veltra-test-XXXXXX", &error);
    if (dir == nullptr) {
        throw std::runtime_error(std::string("g_dir_make_tmp: ") + error->message);
    }
    path_ = dir;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string &name) const { return path_ + "/" + name; }

bool wait_for(const std::function<bool()> &predicate, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int count_entries(const std::string &folder, const std::string &prefix) {
    int count = 0;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        count += entry.path().filename().string().rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

int count_occurrences(const std::string &text, const std::string &what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

std::string take_text(char *text) {
    std::string result = text != nullptr ? text : "";
    free(text);
    return result;
}

}  // namespace veltra_test
