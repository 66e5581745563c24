#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

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

// Starts the root helper for this process's engine, as start-up does: a link
// to the built helper is made in the app folder that
// pelk_global_variables_init named, and the helper runs from there with
// environment (and no leak block on the machine's own network, unless
// environment names VELTRA_LEAK_BLOCK_OMIT). True once it has answered a
// first request.
bool start_helper(const std::vector<std::string> &environment = {});

// The children of pid whose argument 0 has the file name name (the client's
// OpenVPN runs a link named after the program, so only argument 0 carries
// the name); zombies left out.
std::vector<int> children_named(int pid, const std::string &name);
// The OpenVPN processes that run under client's root helper.
std::vector<int> openvpn_under(int client);

// What the sandbox's home reaches of inet's account service now, each over
// a fresh connection with a short time-out: over IPv4 as the routes say
// (through a tunnel that carries the default route), over IPv6, and over
// IPv4 bound to home's own device (outside any tunnel's routes).
struct SandboxReach {
    bool ipv4 = false;
    bool ipv6 = false;
    bool bound = false;
    bool operator==(const SandboxReach &other) const = default;
};
SandboxReach sandbox_reach();
std::string describe(const SandboxReach &reach);
// Whether the client's leak block is in home's firewall now.
bool sandbox_leak_block_present();

}  // namespace veltra_test
