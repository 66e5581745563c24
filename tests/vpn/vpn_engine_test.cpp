// The connect and disconnect jobs on the manager thread, against the
// reference account service and the scripted OpenVPN stand-in: the cases the
// real program cannot be made to show, and the bookkeeping of threads, files
// and descriptors over many cycles.
#include "../view_models/service_fixture.h"
#include "dal/string_helper.h"
#include "support/scripted_https_server.h"
#include "view_models/main_view_model.h"
#include "view_models/main_view_model_internal.h"
#include "views/main_window_controller.h"
#include "vpn/vpn_controller.h"
#include "vpn/vpn_manager_thread.h"
#include "vpn/vpn_process.h"
#include "vpn/vpn_process_internal.h"

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using veltra_test::count_entries;
using veltra_test::count_occurrences;
using veltra_test::kAlice;

constexpr const char *kDeadService = "https://127.0.0.1:1/RESTF-1.0.2/rest/api/";

// Steers the public-address lookups through the view model's hooks: holds
// chosen answers back until the test lets them go, and points chosen tries
// of a tunnel check at a service that sees another address (a tunnel that
// works) or at a closed port (no answer); the lookups for no connection
// always reach the reference service.
class LookupControl {
  public:
    static LookupControl &get() {
        static LookupControl control;
        return control;
    }

    void install(const std::string &service_url, const std::string &tunnel_url, const std::string &silent_url) {
        std::lock_guard<std::mutex> guard(lock_);
        service_url_ = service_url;
        tunnel_url_ = tunnel_url;
        silent_url_ = silent_url;
        const pelk_view_model_main_lookup_hooks hooks{before_request, before_answer};
        pelk_view_model_main_lookup_hooks_set(&hooks);
    }
    void uninstall() {
        pelk_view_model_main_lookup_hooks_set(nullptr);
        std::lock_guard<std::mutex> guard(lock_);
        for (Hold &hold : holds_) {
            hold.released = true;
        }
        changed_.notify_all();
    }

    // The next answer for connection waits in its handler until released.
    void hold(unsigned int connection) {
        std::lock_guard<std::mutex> guard(lock_);
        holds_.push_back({connection, false, false});
    }
    bool caught(unsigned int connection) {
        return veltra_test::wait_for([&] {
            std::lock_guard<std::mutex> guard(lock_);
            for (const Hold &hold : holds_) {
                if (hold.connection == connection && hold.caught) {
                    return true;
                }
            }
            return false;
        });
    }
    void release(unsigned int connection) {
        std::lock_guard<std::mutex> guard(lock_);
        for (Hold &hold : holds_) {
            hold.released = hold.released || hold.connection == connection;
        }
        changed_.notify_all();
    }

    // Tries of tunnel checks: 'a' answers, 'g' finds the service gone, 's'
    // meets a service that never answers (a tunnel that swallows packets).
    void plan(const std::string &tries) {
        std::lock_guard<std::mutex> guard(lock_);
        plan_ = tries;
    }
    // The service is gone from the moment the next lookup for no connection
    // has its answer: the requests after it (the ports) fail.
    void fail_after_outside_lookup() {
        std::lock_guard<std::mutex> guard(lock_);
        fail_after_outside_ = true;
    }
    // The tries made by the tunnel check of connection.
    int attempts(unsigned int connection) {
        std::lock_guard<std::mutex> guard(lock_);
        return attempts_[connection];
    }

  private:
    struct Hold {
        unsigned int connection;
        bool caught;
        bool released;
    };

    static void before_request(unsigned int connection, int attempt) {
        LookupControl &self = get();
        std::lock_guard<std::mutex> guard(self.lock_);
        if (self.plan_.empty()) {
            return;
        }
        if (connection == 0) {
            http_manager_base_url_override(self.service_url_.c_str());
            return;
        }
        self.attempts_[connection] = attempt;
        const char kind = attempt <= static_cast<int>(self.plan_.size()) ? self.plan_[attempt - 1] : 'g';
        http_manager_base_url_override(kind == 'a'   ? self.tunnel_url_.c_str()
                                       : kind == 's' ? self.silent_url_.c_str()
                                                     : kDeadService);
    }

    static void before_answer(unsigned int connection) {
        LookupControl &self = get();
        std::unique_lock<std::mutex> guard(self.lock_);
        if (connection == 0 && self.fail_after_outside_) {
            self.fail_after_outside_ = false;
            http_manager_base_url_override(kDeadService);
        }
        for (Hold &hold : self.holds_) {
            if (hold.connection == connection && !hold.caught) {
                hold.caught = true;
                self.changed_.notify_all();
                // A test that fails before releasing must not hang the run.
                self.changed_.wait_for(guard, std::chrono::seconds(60), [&hold] { return hold.released; });
                return;
            }
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Hold> holds_;
    std::string plan_;
    std::map<unsigned int, int> attempts_;
    std::string service_url_;
    std::string tunnel_url_;
    std::string silent_url_;
    bool fail_after_outside_ = false;
};

class VpnEngineTest : public veltra_test::ServiceFixture {
  protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        fs::create_directories(dir_.file("app/openvpn"));
        fs::create_directories(dir_.file("etc"));
        fs::create_symlink(VELTRA_FAKE_OPENVPN, dir_.file("app/openvpn/pelk.openvpn.exe"));
        g_file_set_contents(dir_.file("app/openvpn/ca.crt").c_str(), "-\n", -1, nullptr);
        // The helper's files, records and resolver file are the test's own.
        ASSERT_TRUE(veltra_test::start_helper(
            {"VELTRA_FILES_DIR=" + dir_.file("run"), "VELTRA_RESOLV_CONF=" + dir_.file("etc/resolv.conf")}));
        ASSERT_EQ(vpn_manager_thread_start(), 0);
        // What the service sees through a tunnel that works: another address.
        veltra_test::ScriptedReply through_tunnel;
        const std::string body = "{\"ip\":\"198.18.2.1\",\"country_code\":\"nl\"}\r\n";
        through_tunnel.pieces.push_back({"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                             "\r\nConnection: close\r\n\r\n" + body,
                                         {}});
        tunnel_ = veltra_test::ScriptedHttpsServer::start(through_tunnel);
        ASSERT_TRUE(tunnel_);
        veltra_test::ScriptedReply never;
        never.never_answer = true;
        silent_ = veltra_test::ScriptedHttpsServer::start(never);
        ASSERT_TRUE(silent_);
        const std::string cas = dir_.file("cas.pem");
        ASSERT_TRUE(g_file_set_contents(cas.c_str(),
                                        (veltra_test::read_file(service_->ca_file()) +
                                         veltra_test::read_file(tunnel_->ca_file()) +
                                         veltra_test::read_file(silent_->ca_file()))
                                            .c_str(),
                                        -1, nullptr));
        http_manager_ca_file_override(cas.c_str());
        LookupControl::get().install(service_->base_url(), tunnel_->url("/RESTF-1.0.2/rest/api/"),
                                     silent_->url("/RESTF-1.0.2/rest/api/"));
    }
    void TearDown() override {
        LookupControl::get().uninstall();
        // The manager is never joined: let it finish its job before the
        // process ends under it.
        idle();
        pelk_vpn_controller_on_vpn_stoped();
        pelk_vpn_subprocess_free();
    }

    // The steps of the next OpenVPN stand-in the helper starts.
    void script(const std::string &steps) {
        const std::string path = dir_.file("app/openvpn/fake-openvpn.script");
        ASSERT_TRUE(g_file_set_contents(path.c_str(), steps.c_str(), -1, nullptr));
    }

    static bool state_is(pelk_dal_vpn_button_state state) {
        return veltra_test::wait_for([state] { return pelk_view_model_main_vpn_state_get() == state; });
    }
    static bool idle() {
        return veltra_test::wait_for(
            [] { return vpn_manager_thread_is_busy() == 0 && vpn_manager_thread_command() == 2; });
    }
    void connect() { vpn_manager_thread_invoke_vpn_start(kAlice.email.c_str(), kAlice.password.c_str(), "198.18.1.1"); }
    std::string log_since(size_t mark) const { return dev_log().substr(mark); }
    static std::string out_log() { return veltra_test::read_file(pelk_global_variable_out_log_path()); }

    std::unique_ptr<veltra_test::ScriptedHttpsServer> tunnel_;
    std::unique_ptr<veltra_test::ScriptedHttpsServer> silent_;
};

TEST_F(VpnEngineTest, UnchangedAddressThroughTheTunnelIsAnErrorAndDisconnects) {
    // The service sees the same loopback address with or without the
    // stand-in "tunnel": exactly the tunnel that passes no traffic. The
    // address known from before (another network's) must not pass for the
    // one outside the tunnel now.
    pelk_view_model_main_geo_set("198.18.1.2", "de");
    script("out Initialization Sequence Completed\\n\nwait\n");
    connect();
    ASSERT_TRUE(state_is(96)) << pelk_view_model_main_vpn_state_get();
    EXPECT_TRUE(idle());
    const std::string log = dev_log();
    EXPECT_NE(log.find("geo_set: setting initial \n"), std::string::npos);
    EXPECT_NE(log.find("geo_set: setting remote \n"), std::string::npos);
    EXPECT_NE(log.find("vpn_manager thread - Ports accepted!\n1194 \n1195 \n"), std::string::npos);
    EXPECT_EQ(count_occurrences(log, "vpn_button_invoke_vpn_disconnect enter. \n"), 1);
    EXPECT_EQ(pelk_vpn_subprocess_is_alive(), 0);
    // "Click for details" says why, which OpenVPN's own output cannot.
    EXPECT_NE(out_log().find("Veltra: the public address seen through the tunnel (127.0.0.1) is the one seen "
                             "without it: traffic does not leave through the tunnel.\n"),
              std::string::npos)
        << out_log();
    drain_main_loop();
    const auto tray = veltra_test::tray_states();
    ASSERT_GE(tray.size(), 4u);
    EXPECT_EQ(tray.front(), 8u);
    EXPECT_EQ(tray.back(), 96u);
}

TEST_F(VpnEngineTest, WithErrorsRaisesOnlyTheErrorEvent) {
    script("out Initialization Sequence Completed With Errors\\n\nwait\n");
    connect();
    ASSERT_TRUE(state_is(96));
    const std::string log = dev_log();
    // One lookup in all: the one without a tunnel before starting OpenVPN.
    EXPECT_EQ(count_occurrences(log, "pelk_controls_public_ip_widget_update_ip enter \n"), 1);
    EXPECT_EQ(log.find("geo_set: setting remote"), std::string::npos);
}

TEST_F(VpnEngineTest, AMarkerSplitAcrossPiecesIsSeenWhole) {
    script("out Initialization Seq\nsleep 300\nout uence Completed\\n\nwait\n");
    connect();
    // The tunnel is checked (and, the stand-in changing no address, faulted).
    ASSERT_TRUE(state_is(96)) << pelk_view_model_main_vpn_state_get();
    EXPECT_NE(dev_log().find("public ip: checking the tunnel of connection 1\n"), std::string::npos);
    EXPECT_EQ(out_log().rfind("Initialization Sequence Completed\nVeltra: ", 0), 0u) << out_log();
}

TEST_F(VpnEngineTest, ADyingChildIsReportedOnceAndDisconnected) {
    script("out Initialization Seq\nsleep 200\nexit 1\n");
    connect();
    ASSERT_TRUE(state_is(96));
    EXPECT_TRUE(idle());
    const std::string log = dev_log();
    EXPECT_EQ(count_occurrences(log, "vpn_button_invoke_vpn_disconnect enter. \n"), 1);
    EXPECT_EQ(pelk_view_model_main_is_vpn_alive_get(), 0);
}

TEST_F(VpnEngineTest, AFailedPortRequestStartsWithoutRemoteLines) {
    const std::string record = dir_.file("args");
    script("record " + record + "\nwait\n");
    // The connect learns the address outside the tunnel; then the service
    // is gone, so the ports cannot be had.
    LookupControl::get().fail_after_outside_lookup();
    connect();
    ASSERT_TRUE(veltra_test::wait_for([&] { return fs::exists(record); }));
    ASSERT_TRUE(veltra_test::wait_for([&] { return veltra_test::read_file(record).size() > 0; }));
    std::vector<std::string> args;
    std::string text = veltra_test::read_file(record);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        args.push_back(text.substr(start, end - start));
    }
    ASSERT_EQ(args.size(), 7u);
    const std::string config = veltra_test::read_file(args[2]);
    EXPECT_NE(config.find("remote-random\nresolv-retry infinite\n"), std::string::npos) << config;
    EXPECT_EQ(config.find("remote "), std::string::npos);
}

TEST_F(VpnEngineTest, ATunnelCheckWithoutAnswerIsAnErrorNotAnEndlessConnect) {
    script("sleep 300\nout Initialization Sequence Completed\\n\nwait\n");
    connect();
    // The service answers the ports, then is gone when the tunnel is checked.
    ASSERT_TRUE(veltra_test::wait_for(
        [this] { return dev_log().find("vpn_manager thread - Ports accepted!") != std::string::npos; }));
    http_manager_base_url_override("https://127.0.0.1:1/RESTF-1.0.2/rest/api/");
    ASSERT_TRUE(state_is(96)) << pelk_view_model_main_vpn_state_get();
    EXPECT_NE(dev_log().find("no address through the tunnel\n"), std::string::npos);
    EXPECT_EQ(count_occurrences(dev_log(), "vpn_button_invoke_vpn_disconnect enter. \n"), 1);
}

TEST_F(VpnEngineTest, AChildIgnoringTerminationIsGoneAfterTheStopSequence) {
    script("ignore-term\nout up\\n\nwait\n");
    connect();
    ASSERT_TRUE(veltra_test::wait_for([] { return pelk_vpn_subprocess_pid() > 0; }));
    const int pid = pelk_vpn_subprocess_pid();
    ASSERT_TRUE(idle());
    pelk_view_model_main_vpn_button_invoke_vpn_disconnect();
    ASSERT_TRUE(state_is(32));
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));
}

TEST_F(VpnEngineTest, CommandsWithoutAQueue) {
    script("wait\n");
    // A disconnect written before the manager woke replaces the connect.
    vpn_manager_thread_set_time_divisor(1);
    connect();  // returns after one poll; the manager may not have looked yet
    vpn_manager_thread_invoke_vpn_stop();
    vpn_manager_thread_set_time_divisor(100);
    ASSERT_TRUE(idle());
    std::string log = dev_log();
    if (log.find("vpn_manager_thread - connect enter\n") == std::string::npos) {
        EXPECT_NE(log.find("vpn_manager_thread - disconnect enter\n"), std::string::npos);
    }

    // A connect asked for during a disconnect waits for it, saying so.
    connect();
    ASSERT_TRUE(veltra_test::wait_for([] { return pelk_vpn_subprocess_pid() > 0; }));
    ASSERT_TRUE(idle());
    vpn_manager_thread_set_time_divisor(10);  // a disconnect of about 1.2 s
    vpn_manager_thread_invoke_vpn_stop();
    ASSERT_TRUE(veltra_test::wait_for([] { return vpn_manager_thread_is_busy() == 1; }));
    connect();
    vpn_manager_thread_set_time_divisor(100);
    log = dev_log();
    EXPECT_GE(count_occurrences(log, "vpn_manager thread - busy. Retry\n"), 1);
    const size_t disconnect_done = log.rfind("vpn_manager_thread - disconnect done\n");
    const size_t accepted = log.rfind("vpn_manager thread - start invoked\n");
    EXPECT_LT(disconnect_done, accepted);
    EXPECT_TRUE(veltra_test::wait_for([] { return pelk_view_model_main_vpn_state_get() == 8u; }));
}

TEST_F(VpnEngineTest, CyclesLeaveNoThreadFileOrDescriptorBehind) {
    script("out Initialization Sequence Completed\\n\nwait\n");
    // What lives for the whole run comes first: the address seen without a
    // tunnel (and the threads of the first exchange), and the main loop's
    // wake-up descriptor that the first post to the tray makes.
    pelk_view_model_main_update_public_ip();
    pelk_view_model_main_vpn_state_set(2);
    drain_main_loop();
    const int threads = count_entries("/proc/self/task");
    const int descriptors = count_entries("/proc/self/fd");
    const int files = count_entries(dir_.file("run"), "pelk");
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        pelk_view_model_main_vpn_state_reset();
        pelk_view_model_main_vpn_state_set(1);
        connect();
        // The stand-in cannot change the address, so every cycle ends in the
        // error path: a connect and a full disconnect.
        ASSERT_TRUE(state_is(96));
        ASSERT_TRUE(idle());
    }
    EXPECT_TRUE(veltra_test::wait_for([&] { return count_entries("/proc/self/task") == threads; }))
        << count_entries("/proc/self/task") << " threads, " << threads << " before";
    EXPECT_EQ(count_entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(count_entries(dir_.file("run"), "pelk"), files);
    EXPECT_EQ(dev_log().find(kAlice.password), std::string::npos);
}

TEST_F(VpnEngineTest, LookupsOfNoOrAnEarlierConnectionJudgeNothing) {
    LookupControl &lookups = LookupControl::get();
    // Start-up with auto-connect: the start-up lookup (made for no
    // connection) answers only once the new child runs.
    lookups.hold(0);
    lookups.hold(1);
    std::thread start_up(pelk_view_model_main_update_public_ip);
    ASSERT_TRUE(lookups.caught(0));
    script("out Initialization Sequence Completed\\n\nwait\n");
    connect();
    // The connect learnt the address itself; connection 1's tunnel check
    // has its answer and is held too.
    ASSERT_TRUE(lookups.caught(1));
    ASSERT_EQ(pelk_view_model_main_is_vpn_alive_get(), 1);
    ASSERT_EQ(pelk_view_model_main_vpn_state_get(), 8u);
    int job = pelk_view_model_main_update_ip_job_state_get();
    size_t mark = dev_log().size();
    lookups.release(0);
    start_up.join();
    auto untouched = [&](const char *when) {
        SCOPED_TRACE(when);
        const std::string log = log_since(mark);
        EXPECT_EQ(count_occurrences(log, "geo_set: not for the current connection, ignored \n"), 1) << log;
        EXPECT_EQ(log.find("geo_set: setting remote"), std::string::npos);
        EXPECT_EQ(log.find("vpn_button_invoke_vpn_disconnect enter."), std::string::npos);
        EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 8u);
        EXPECT_EQ(vpn_manager_thread_command(), 2);
        EXPECT_EQ(pelk_view_model_main_update_ip_job_state_get(), job);
        EXPECT_EQ(veltra_test::take_text(pelk_view_model_main_ip_get_new()), "127.0.0.1");
    };
    untouched("the start-up lookup during connection 1");

    // A normal disconnect; the next child never reports its tunnel up, so
    // nothing may judge it.
    pelk_view_model_main_vpn_button_invoke_vpn_disconnect();
    ASSERT_TRUE(state_is(32));
    ASSERT_TRUE(idle());
    EXPECT_EQ(pelk_view_model_main_is_vpn_alive_get(), 0);
    script("wait\n");
    connect();
    ASSERT_TRUE(veltra_test::wait_for([this] {
        return count_occurrences(dev_log(), "vpn_manager_thread - connect done\n") == 2 &&
               pelk_view_model_main_is_vpn_alive_get() == 1;
    }));
    ASSERT_EQ(pelk_view_model_main_vpn_state_get(), 8u);
    job = pelk_view_model_main_update_ip_job_state_get();
    mark = dev_log().size();
    lookups.release(1);
    ASSERT_TRUE(veltra_test::wait_for([&] { return log_since(mark).find(", ignored") != std::string::npos; }));
    untouched("connection 1's tunnel check during connection 2");
}

TEST_F(VpnEngineTest, ATunnelCheckIsTriedThreeTimesBeforeTheErrorPath) {
    // A check that gets through reaches the service that sees the tunnel's
    // address, so it finds the address changed.
    script("out Initialization Sequence Completed\\n\nwait\n");
    struct Case {
        const char *name;
        std::string tries;
        pelk_dal_vpn_button_state ends_in;
        int attempts;
    };
    const Case cases[] = {
        {"answers at once", "a", 4, 1},
        {"fails once, then answers", "ga", 4, 2},
        {"fails twice, then answers", "gga", 4, 3},
        {"fails three times", "ggga", 96, 3},
        // Each try has its own short bound: well within the wait below,
        // where the transport's own would take a minute and a half.
        {"never answered three times", "sssa", 96, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LookupControl::get().plan(c.tries);
        const size_t mark = dev_log().size();
        const size_t out_mark = out_log().size();
        connect();
        // The last case's end state may still show until the manager takes
        // this connect up: this case's end is looked for in its own log.
        const std::string end = "vpn state: " + std::to_string(static_cast<unsigned int>(c.ends_in)) + "\n";
        ASSERT_TRUE(veltra_test::wait_for([&] { return log_since(mark).find(end) != std::string::npos; }))
            << log_since(mark);
        const unsigned int connection = vpn_manager_thread_connection();
        EXPECT_EQ(LookupControl::get().attempts(connection), c.attempts);
        std::string log = log_since(mark);
        EXPECT_EQ(count_occurrences(log, "no address yet, trying again\n"), c.attempts - 1);
        if (c.ends_in == 4) {
            EXPECT_EQ(veltra_test::take_text(pelk_view_model_main_ip_get_new()), "198.18.2.1");
            pelk_view_model_main_vpn_button_invoke_vpn_disconnect();
            ASSERT_TRUE(state_is(32));
        }
        ASSERT_TRUE(idle());
        log = log_since(mark);
        EXPECT_EQ(count_occurrences(log, "no address through the tunnel\n"), c.ends_in == 4 ? 0 : 1);
        EXPECT_EQ(count_occurrences(out_log().substr(out_mark),
                                    "Veltra: the public address could not be looked up through the tunnel"),
                  c.ends_in == 4 ? 0 : 1);
        EXPECT_EQ(count_occurrences(log, "vpn_button_invoke_vpn_disconnect enter. \n"), 1);
        EXPECT_EQ(LookupControl::get().attempts(connection), c.attempts);
    }
}

TEST_F(VpnEngineTest, WithoutTheAddressOutsideTheTunnelOpenVpnIsNotStarted) {
    const std::string record = dir_.file("args");
    script("record " + record + "\nwait\n");
    http_manager_base_url_override(kDeadService);
    connect();
    ASSERT_TRUE(state_is(96)) << pelk_view_model_main_vpn_state_get();
    ASSERT_TRUE(idle());
    const std::string log = dev_log();
    EXPECT_EQ(count_occurrences(log, "no address outside the tunnel known, OpenVPN not started\n"), 1);
    EXPECT_NE(out_log().find("Veltra: the public address outside the tunnel could not be looked up"),
              std::string::npos);
    EXPECT_EQ(log.find("vpn_manager thread - openvpn_manager_start!"), std::string::npos);
    EXPECT_EQ(count_occurrences(log, "vpn_button_invoke_vpn_disconnect enter. \n"), 1);
    EXPECT_FALSE(fs::exists(record));
    EXPECT_EQ(vpn_manager_thread_connection(), 0u);
}

// The pushed name servers through the engine: set when the child reports
// the tunnel up, taken back on the error path before "disconnected", and a
// failure to set them is the error path rather than a tunnel that leaks.
TEST_F(VpnEngineTest, PushedNameServersAreSetAtTheMarkerAndTakenBackOnTheErrorPath) {
    // The helper's resolver file is etc/resolv.conf; the folder moved away
    // makes it one that cannot be written.
    const std::string resolv_conf = dir_.file("etc/resolv.conf");
    const std::string original = "nameserver 127.0.0.9\n";
    ASSERT_TRUE(g_file_set_contents(resolv_conf.c_str(), original.c_str(), -1, nullptr));
    struct Case {
        const char *name;
        bool writable;
        const char *outcome;
    };
    const Case cases[] = {
        // The stand-in's "tunnel" shows the same public address, so a tunnel
        // whose name servers were set still ends in the error.
        {"set_then_taken_back", true, "dns: name servers 198.18.4.53 (search vpn.example) set on "},
        {"cannot_be_set", false, "dns: cannot set name servers 198.18.4.53 "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.writable) {
            fs::rename(dir_.file("etc"), dir_.file("etc.away"));
        }
        const size_t mark = dev_log().size();
        script(
            "out 2026-12-07 14:31:02 TUN/TAP device tun0 opened\\n2026-12-07 14:31:02 PUSH: Received control "
            "message: 'PUSH_REPLY,redirect-gateway def1,dhcp-option DNS 198.18.4.53,dhcp-option DOMAIN "
            "vpn.example,ifconfig 10.8.0.2 255.255.255.0'\\n2026-12-07 14:31:02 Initialization Sequence "
            "Completed\\n\nwait\n");
        connect();
        // The state is still the last case's 96 for a moment: this case's
        // end shows in its own part of the log.
        ASSERT_TRUE(veltra_test::wait_for([&] { return log_since(mark).find("vpn state: 96\n") != std::string::npos; }))
            << log_since(mark);
        EXPECT_TRUE(idle());
        if (!c.writable) {
            fs::rename(dir_.file("etc.away"), dir_.file("etc"));
        }
        const std::string log = log_since(mark);
        EXPECT_NE(log.find(c.outcome), std::string::npos) << log;
        EXPECT_EQ(veltra_test::read_file(resolv_conf), original);
        EXPECT_FALSE(fs::exists(dir_.file("run/dns.run")));
        const size_t disconnected = log.find("vpn state: 96\n");
        if (c.writable) {
            const size_t back = log.find("dns: name servers 198.18.4.53 (search vpn.example) taken back from ");
            EXPECT_NE(back, std::string::npos) << log;
            EXPECT_LT(back, disconnected) << log;
        } else {
            // Never judged: the tunnel check is not started without them.
            EXPECT_EQ(log.find("public ip: checking the tunnel"), std::string::npos) << log;
            EXPECT_NE(out_log().find("Veltra: the name servers the VPN server pushed could not be set"),
                      std::string::npos);
        }
    }
}

}  // namespace

// An engine entry left empty would drop its event without a trace: the
// step it stands for (a state, a tunnel check) would simply never happen.
TEST(EngineCallbacks, EveryEngineEntryIsFilled) {
    const pelk_engine_callbacks table = pelk_main_window_controller_engine_callbacks();
    using Entry = void (*)(void);
    static_assert(sizeof(table) % sizeof(Entry) == 0, "the engine table holds only function pointers");
    const auto *bytes = reinterpret_cast<const unsigned char *>(&table);
    for (size_t offset = 0; offset < sizeof(table); offset += sizeof(Entry)) {
        Entry entry;
        memcpy(&entry, bytes + offset, sizeof(entry));
        EXPECT_NE(entry, nullptr) << "engine entry " << offset / sizeof(Entry) << " is empty";
    }
}
