#include "support/test_user.h"

#include "support/reference_service.h"
#include "support/test_util.h"

#include <glib.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace veltra_test {

TestUser::TestUser() {
    if (geteuid() != 0) {
        return;
    }
    name_ = "veltra-t" + std::to_string(getpid());
    g_autofree char *base = g_dir_make_tmp("veltra-user-XXXXXX", nullptr);
    if (base == nullptr) {
        return;
    }
    chmod(base, 0755);
    home_ = std::string(base) + "/home";
    if (run_program({"useradd", "--home-dir", home_, "--create-home", "--shell", "/usr/sbin/nologin", "--user-group",
                     name_}) != 0) {
        std::filesystem::remove_all(base);
        home_.clear();
        return;
    }
    if (const struct passwd *entry = getpwnam(name_.c_str())) {
        uid_ = entry->pw_uid;
        gid_ = entry->pw_gid;
        chmod(home_.c_str(), 0700);
    }
}

TestUser::~TestUser() {
    if (home_.empty()) {
        return;
    }
    // Ends whatever the test left running as the user first: userdel
    // refuses a logged-in user.
    run_program({"pkill", "-KILL", "-u", name_});
    if (waiting_ > 0) {
        waitpid(waiting_, nullptr, 0);
    }
    run_program({"userdel", name_});
    std::filesystem::remove_all(std::filesystem::path(home_).parent_path());
}

bool TestUser::keep_running() {
    const std::string uid = std::to_string(uid_);
    const std::string gid = std::to_string(gid_);
    const char *argv[] = {"/usr/bin/setpriv", "--reuid",    uid.c_str(), "--regid", gid.c_str(),
                          "--clear-groups",   "/bin/sleep", "3600",      nullptr};
    GPid pid = 0;
    if (!ok() || !g_spawn_async(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                nullptr, &pid, nullptr)) {
        return false;
    }
    waiting_ = pid;
    // Counted as the user's once setpriv has changed its identity.
    return wait_for([&] {
        struct stat st {};
        return stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 && st.st_uid == uid_;
    });
}

bool TestUser::write(const std::string &relative, const std::string &content, int mode) const {
    const std::filesystem::path path = std::filesystem::path(home_) / relative;
    std::error_code error;
    std::filesystem::path folder = path.parent_path();
    std::filesystem::create_directories(folder, error);
    for (std::filesystem::path part = folder; part.string().size() > home_.size(); part = part.parent_path()) {
        if (chown(part.c_str(), uid_, gid_) != 0) {
            return false;
        }
    }
    if (!g_file_set_contents(path.c_str(), content.c_str(), -1, nullptr)) {
        return false;
    }
    return chown(path.c_str(), uid_, gid_) == 0 && chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

}  // namespace veltra_test
