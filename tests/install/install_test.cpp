// The package as a user's machine receives it: the desktop entry and the
// polkit action are valid, the .deb holds the app folder and the desktop
// files, and the client unpacked from it starts and logs in its own folder.
#include "support/reference_service.h"
#include "support/test_util.h"
#include "support/xvfb.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using veltra_test::read_file;
using veltra_test::run_program;

const std::string kPrefix = VELTRA_INSTALL_DIR;

TEST(Install, DesktopEntryAndPolkitActionAreValidAndNameTheInstalledClient) {
    const std::string entry = std::string(VELTRA_DATA_DIR) + "/veltra.desktop";
    const std::string action = std::string(VELTRA_DATA_DIR) + "/org.veltra.client.policy";
    std::string out;
    EXPECT_EQ(run_program({"desktop-file-validate", entry}, &out), 0) << out;
    EXPECT_EQ(run_program({"xmllint", "--noout", action}, &out), 0) << out;
    const std::string desktop = read_file(entry);
    EXPECT_NE(desktop.find("\nExec=" + kPrefix + "/veltra\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("\nPath=" + kPrefix + "\n"), std::string::npos) << desktop;
    const std::string policy = read_file(action);
    EXPECT_NE(policy.find("\"org.freedesktop.policykit.exec.path\">" + kPrefix + "/veltra<"), std::string::npos);
    EXPECT_NE(policy.find("\"org.freedesktop.policykit.exec.allow_gui\">true<"), std::string::npos);
    EXPECT_EQ(policy.find("auth_admin_keep"), std::string::npos) << "an authorisation kept for the session";
}

TEST(Install, ThePackageHoldsTheAppFolderAndItsClientStartsThere) {
    veltra_test::TempDir work;
    std::string out;
    // A builder whose umask lets the group write gets the same modes.
    const mode_t umask_before = umask(002);
    const int built = run_program(
        {"cpack", "-G", "DEB", "--config", std::string(VELTRA_BUILD_DIR) + "/CPackConfig.cmake", "-B", work.path()},
        &out);
    umask(umask_before);
    ASSERT_EQ(built, 0) << out;
    std::string deb;
    std::string ddeb;
    for (const auto &entry : fs::directory_iterator(work.path())) {
        if (entry.path().extension() == ".deb") {
            deb = entry.path();
        } else if (entry.path().extension() == ".ddeb") {
            ddeb = entry.path();
        }
    }
    ASSERT_FALSE(deb.empty()) << out;
    ASSERT_FALSE(ddeb.empty()) << "no debug package";
    std::string fields;
    run_program({"dpkg-deb", "--field", deb, "Depends"}, &fields);
    for (const char *package : {"openvpn", "libgtk-3-0", "libcurl4", "fonts-tlwg-purisa", "pkexec"}) {
        EXPECT_NE(fields.find(package), std::string::npos) << package;
    }
    const std::string root = work.file("root");
    ASSERT_EQ(run_program({"dpkg-deb", "-x", deb, root}, &out), 0) << out;

    const std::string app = root + kPrefix;
    struct Expected {
        std::string path;
        fs::file_type type;
    };
    const Expected expected[] = {
        {app + "/veltra", fs::file_type::regular},
        {app + "/veltra-helper", fs::file_type::regular},
        {app + "/openvpn/pelk.openvpn.exe", fs::file_type::symlink},
        {app + "/flags", fs::file_type::symlink},
        {app + "/flags/de.png", fs::file_type::regular},
        {root + "/usr/share/applications/veltra.desktop", fs::file_type::regular},
        {root + "/usr/share/polkit-1/actions/org.veltra.client.policy", fs::file_type::regular},
        {root + "/usr/share/icons/hicolor/16x16/apps/veltra.png", fs::file_type::regular},
        {root + "/usr/share/icons/hicolor/256x256/apps/veltra.png", fs::file_type::regular},
    };
    for (const Expected &e : expected) {
        EXPECT_EQ(fs::symlink_status(e.path).type(), e.type) << e.path;
    }
    const fs::path openvpn = fs::read_symlink(app + "/openvpn/pelk.openvpn.exe");
    EXPECT_TRUE(openvpn.is_relative()) << openvpn;
    EXPECT_EQ((fs::path(app) / "openvpn" / openvpn).lexically_normal(), fs::path(root + VELTRA_OPENVPN));
    // Folders 0755, the two programs 0755, every other file 0644.
    std::string listing;
    ASSERT_EQ(run_program({"dpkg-deb", "-c", deb}, &listing), 0) << listing;
    std::istringstream lines(listing);
    for (std::string mode, owner, size, date, time, path; lines >> mode >> owner >> size >> date >> time >> path;) {
        lines.ignore(std::numeric_limits<std::streamsize>::max(), '\n');  // a link's " -> target"
        const bool program = path == "." + kPrefix + "/veltra" || path == "." + kPrefix + "/veltra-helper";
        const std::string want = mode[0] == 'l'   ? mode
                                 : mode[0] == 'd' ? "drwxr-xr-x"
                                 : program        ? "-rwxr-xr-x"
                                                  : "-rw-r--r--";
        EXPECT_EQ(mode, want) << path;
        EXPECT_EQ(owner, "root/root") << path;
    }
    // Stripped, with each program's symbols in the debug package under its build id.
    std::string symbols;
    ASSERT_EQ(run_program({"dpkg-deb", "-c", ddeb}, &symbols), 0) << symbols;
    for (const char *name : {"/veltra", "/veltra-helper"}) {
        std::string sections;
        std::string notes;
        run_program({"readelf", "-S", app + name}, &sections);
        run_program({"readelf", "-n", app + name}, &notes);
        EXPECT_EQ(sections.find(".symtab"), std::string::npos) << name;
        EXPECT_EQ(sections.find(".debug_info"), std::string::npos) << name;
        const size_t at = notes.find("Build ID: ");
        ASSERT_NE(at, std::string::npos) << notes;
        const std::string id = notes.substr(at + 10, 40);
        EXPECT_NE(symbols.find("/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug"), std::string::npos)
            << name << " " << id;
    }
    EXPECT_FALSE(fs::exists(app + "/Logs")) << "logs are the client's to make";
    // Removal ends a running OpenVPN and takes its name servers back first.
    ASSERT_EQ(run_program({"dpkg-deb", "-e", deb, work.file("control")}, &out), 0) << out;
    EXPECT_NE(read_file(work.file("control/prerm")).find(std::string(kPrefix) + "/veltra-helper\" --clean-up"),
              std::string::npos);

    // Started from elsewhere, as the desktop's menu may: it works in, and
    // logs into, its own folder.
    veltra_test::Xvfb display;
    ASSERT_TRUE(display.ok());
    const std::string client = app + "/veltra";
    const std::string display_var = "DISPLAY=" + display.display();
    const std::string config_var = "XDG_CONFIG_HOME=" + work.file("config");
    const char *argv[] = {client.c_str(), nullptr};
    const char *env[] = {"VELTRA_NO_ELEVATION=1", "PATH=/usr/bin:/bin", display_var.c_str(), config_var.c_str(),
                         nullptr};
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(
        "/", const_cast<char **>(argv), const_cast<char **>(env),
        static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
        nullptr, nullptr, &pid, nullptr));
    std::string log;
    const bool started = veltra_test::wait_for([&] {
        if (!fs::is_directory(app + "/Logs/dev")) {
            return false;
        }
        for (const auto &entry : fs::directory_iterator(app + "/Logs/dev")) {
            log = read_file(entry.path());
        }
        return log.find("Windows controller - on login start enter\n") != std::string::npos;
    });
    g_autofree char *cwd = g_file_read_link(("/proc/" + std::to_string(pid) + "/cwd").c_str(), nullptr);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(started) << log;
    EXPECT_STREQ(cwd, app.c_str());
}

}  // namespace
