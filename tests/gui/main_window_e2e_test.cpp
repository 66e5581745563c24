// The main window as a person uses it, through the real client binary, the
// sandbox's account service and its real OpenVPN servers: runs inside the
// sandbox's `home` namespace with its variables exported. What the window
// shows is read from screen grabs (the connect picture's colour, areas
// compared between grabs), what the client did from its developer log, its
// settings file and the account service's log.
#include "gui_session.h"
#include "xsettings.h"

#include "support/reference_service.h"
#include "support/test_util.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using veltra_test::ClientWindow;
using veltra_test::count_occurrences;
using veltra_test::GuiOptions;
using veltra_test::GuiSession;
using veltra_test::Rect;
using veltra_test::Rgb;
using veltra_test::Screenshot;
using namespace std::chrono_literals;

// Window-relative places.
constexpr Rect kEmail{100, 114, 233, 40};
constexpr Rect kPassword{100, 203, 233, 40};
constexpr Rect kConnect{149, 114, 118, 118};
constexpr Rect kClose{383, 16, 24, 21};
constexpr Rect kYes{128, 250, 68, 37};
// Below the power symbol, inside the disc's fill.
constexpr Rect kFill{205, 212, 6, 6};
constexpr int kIpFlagX = 111, kIpFlagY = 63, kIpFlagSize = 31;
constexpr Rect kIpText{150, 60, 208, 36};
constexpr Rect kStatus{102, 242, 213, 20};
constexpr Rect kDetails{102, 267, 213, 20};
constexpr Rect kServerRow{102, 292, 213, 37};
constexpr Rect kList{102, 60, 213, 200};
constexpr Rect kSettings{13, 364, 85, 28};  // "back" on the settings screen
constexpr Rect kLogOut{331, 362, 85, 28};
constexpr Rect kSwitches[] = {{269, 121, 90, 29}, {269, 191, 90, 29}, {269, 261, 90, 29}};
constexpr int kGrabX = 150, kGrabY = 26;
constexpr int kFirstX = 200, kFirstY = 200;
constexpr Rgb kBackground{8, 122, 73};
// The list's three rows share its 200 pixels; a row's star is at (183, 8).
constexpr int kRowTops[] = {60, 127, 194};
// Two presses close in time and place make a double click, which the star
// and the switches count as three presses: a second press goes elsewhere.
constexpr int kNear = 5, kFar = 15;
constexpr Rect kRowStar{183, 8, 20, 21};

std::string env(const char *name) {
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

enum class Picture { grey, orange, green, red, other };
const char *const kPictureNames[] = {"grey", "orange", "green", "red", "other"};

// The connect picture by the colour of its fill.
Picture picture(const Rgb &c) {
    if (c.r > 180 && c.g > 80 && c.g < 200 && c.b < 90) {
        return Picture::orange;
    }
    if (c.r > 160 && c.g < 80 && c.b < 80) {
        return Picture::red;
    }
    if (c.g > c.r + 60 && c.g > c.b + 60 && c.g > 120) {
        return Picture::green;
    }
    const bool plain = std::max({c.r, c.g, c.b}) - std::min({c.r, c.g, c.b}) < 60 && c.r > 60;
    return plain ? Picture::grey : Picture::other;
}

Picture picture(const Screenshot &s) { return picture(s.mean(kFill)); }

// Follows the connect picture of w on the screen from before until it is
// until: the pictures seen, each change once ("grey orange green ").
std::string follow(GuiSession &gui, const ClientWindow &w, Picture before, Picture until) {
    Picture last = before;
    std::string seen = std::string(kPictureNames[int(before)]) + " ";
    veltra_test::wait_for(
        [&] {
            const std::optional<Rgb> colour = gui.sample(w, kFill);
            const Picture now = colour ? picture(*colour) : Picture::other;
            if (now != last) {
                seen += std::string(kPictureNames[int(now)]) + " ";
                last = now;
            }
            return now == until;
        },
        60s);
    return seen;
}

// The area at (ax, ay) of a holds the same pixels as the one at (bx, by) of b.
bool same_at(const Screenshot &a, int ax, int ay, const Screenshot &b, int bx, int by, int width, int height) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb p = a.pixel(ax + x, ay + y);
            const Rgb q = b.pixel(bx + x, by + y);
            if (p.r < 0 || p.r != q.r || p.g != q.g || p.b != q.b) {
                return false;
            }
        }
    }
    return true;
}

// The list row at index shows what the main screen's server row shows.
bool row_matches(const Screenshot &main, const Screenshot &list, int index) {
    return same_at(main, kServerRow.x, kServerRow.y, list, kServerRow.x, kRowTops[index], kServerRow.width,
                   kServerRow.height);
}

// Row a's star in list shot s is drawn as row b's in list shot t.
bool same_star(const Screenshot &s, int a, const Screenshot &t, int b) {
    const int x = kServerRow.x + kRowStar.x;
    return same_at(s, x, kRowTops[a] + kRowStar.y, t, x, kRowTops[b] + kRowStar.y, kRowStar.width, kRowStar.height);
}

// Nothing but the window's colour: no text drawn there.
bool flat(const Screenshot &s, const Rect &area) {
    double spread = 0;
    const Rgb mean = s.mean(area, &spread);
    return mean.r == kBackground.r && mean.g == kBackground.g && mean.b == kBackground.b &&
           spread == kBackground.g - kBackground.r;
}

// The public-address strip shows the country's flag as the client scales it.
bool shows_flag(const Screenshot &s, const std::string &country) {
    const std::string path = env("VELTRA_SANDBOX_APP") + "/flags/" + country + ".png";
    g_autoptr(GdkPixbuf) file = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    if (file == nullptr) {
        ADD_FAILURE() << "no flag " << path;
        return false;
    }
    g_autoptr(GdkPixbuf) flag = gdk_pixbuf_scale_simple(file, kIpFlagSize, kIpFlagSize, GDK_INTERP_BILINEAR);
    const int channels = gdk_pixbuf_get_n_channels(flag);
    for (int y = 0; y < kIpFlagSize; ++y) {
        for (int x = 0; x < kIpFlagSize; ++x) {
            const guchar *f = gdk_pixbuf_read_pixels(flag) + y * gdk_pixbuf_get_rowstride(flag) + x * channels;
            // Its rounded corners are see-through: the window shows there.
            const int alpha = channels == 4 ? f[3] : 255;
            auto over = [&](int flag_value, int back) { return (flag_value * alpha + back * (255 - alpha)) / 255; };
            const Rgb c = s.pixel(kIpFlagX + x, kIpFlagY + y);
            if (std::abs(c.r - over(f[0], kBackground.r)) > 3 || std::abs(c.g - over(f[1], kBackground.g)) > 3 ||
                std::abs(c.b - over(f[2], kBackground.b)) > 3) {
                return false;
            }
        }
    }
    return true;
}

// The "vpn state: N" lines in order, a repeat of the one before left out
// (the manager sets "connecting" again when it starts the connection).
std::string states(const std::string &log) {
    std::string text = " ";
    const std::string tag = "vpn state: ";
    for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
        const std::string state = std::to_string(std::stoul(log.substr(at + tag.size()))) + " ";
        if (!text.ends_with(" " + state)) {
            text += state;
        }
    }
    return text;
}

std::string routes() {
    std::string out;
    veltra_test::run_program({"ip", "-4", "route", "show", "table", "all"}, &out);
    return out;
}

class MainWindowE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (env("VELTRA_SANDBOX_APP").empty()) {
            GTEST_SKIP() << "not inside the sandbox";
        }
        // The client's OpenVPN child outlives a client ended by a signal;
        // as subreaper this process can reap it.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        email_ = env("VELTRA_SANDBOX_EMAIL");
        password_ = env("VELTRA_SANDBOX_PASSWORD");
        vpn_ = env("VELTRA_SANDBOX_VPN_ADDRESS");
    }

    std::unique_ptr<GuiSession> start(const std::string &settings, GuiOptions options = {}) {
        options.settings = "[Veltra]\n" + settings;
        options.app_parts = env("VELTRA_SANDBOX_APP");
        std::unique_ptr<GuiSession> gui =
            GuiSession::start(env("VELTRA_SERVICE_BASE_URL"), env("VELTRA_CA_FILE"), options);
        EXPECT_NE(gui, nullptr);
        return gui;
    }

    // Signs in by typing into the login window at (x, y) (a window other
    // than previous); the main window that takes its place, ready ("vpn
    // state: 1" last) and settled.
    std::optional<ClientWindow> sign_in(GuiSession &gui, int x, int y, Screenshot *ready, unsigned long previous = 0) {
        std::optional<ClientWindow> login = gui.wait_new_window("the login window", previous, x, y);
        if (!login) {
            return std::nullopt;
        }
        gui.shot("login");
        gui.clear_entry(*login, kEmail, 40);
        gui.type(email_);
        gui.type_into(*login, kPassword, password_);
        gui.key("Return");
        std::optional<ClientWindow> main = gui.wait_new_window("the main window", login->id, x, y);
        if (!main) {
            return std::nullopt;
        }
        EXPECT_TRUE(veltra_test::wait_for([&] { return states(gui.dev_log()).ends_with(" 1 "); })) << gui.dev_log();
        *ready = gui.shot("main_ready");
        EXPECT_EQ(picture(*ready), Picture::grey);
        return main;
    }

    // The account service's answers of the caller's address seen from the
    // tunnel's side.
    int lookups_through_tunnel() const {
        return count_occurrences(veltra_test::read_file(env("VELTRA_SANDBOX_DIR") + "/logs/account-service.log"),
                                 ": " + env("VELTRA_SANDBOX_NAT_ADDRESS") +
                                     " \"GET /RESTF-1.0.2/rest/api/remote_address\" 200");
    }

    std::string email_;
    std::string password_;
    std::string vpn_;
};

// The whole hand-over, as pkexec starts the client for a user, on a display
// where another client publishes Gtk/Modules: the window runs as the user
// (the module it is made to load runs as the user, never as root), its
// helper as root without the toolkit. Then sign in by typing; the favourite
// shows; the list opens, ignores the wheel (three rows fit), lets another
// server be chosen and starred; connect and disconnect move the public
// address to the tunnel's and back.
TEST_F(MainWindowE2e, SignInChooseAndStarAServerThenConnectAndDisconnect) {
    const std::string baseline = routes();
    const veltra_test::XSettingsPublisher *attacker = nullptr;
    GuiOptions options;
    options.through_pkexec = true;
    options.before_client = [&](const std::string &display) {
        auto publisher = std::make_shared<veltra_test::XSettingsPublisher>(display, "Gtk/Modules", VELTRA_UID_MODULE);
        attacker = publisher.get();
        return std::shared_ptr<void>(publisher);
    };
    ASSERT_TRUE(g_file_set_contents(VELTRA_MODULE_RECORD, "", 0, nullptr));
    chmod(VELTRA_MODULE_RECORD, 0666);
    std::unique_ptr<GuiSession> gui = start("favorite_server=" + vpn_ + "\nauto_connect=0\n", options);
    ASSERT_NE(gui, nullptr);
    ASSERT_TRUE(attacker != nullptr && attacker->ok());
    Screenshot ready;
    std::optional<ClientWindow> main = sign_in(*gui, kFirstX, kFirstY, &ready);
    ASSERT_TRUE(main) << gui->dev_log() << gui->client_output();
    if (gui->user().ok()) {
        const std::string uid = std::to_string(gui->user().uid());
        EXPECT_EQ(veltra_test::read_file(VELTRA_MODULE_RECORD), std::to_string(gui->pid()) + " " + uid + "\n")
            << "the module a client of the display named ran as another user";
        const std::string window = veltra_test::read_file("/proc/" + std::to_string(gui->pid()) + "/status");
        EXPECT_NE(window.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"), std::string::npos)
            << window;
        EXPECT_NE(window.find("\nCapEff:\t0000000000000000\n"), std::string::npos) << window;
        const std::vector<int> helpers = veltra_test::children_named(gui->pid(), "veltra-helper");
        ASSERT_EQ(helpers.size(), 1u);
        const std::string helper = "/proc/" + std::to_string(helpers.front());
        EXPECT_NE(veltra_test::read_file(helper + "/status").find("\nUid:\t0\t0\t0\t0\n"), std::string::npos);
        const std::string maps = veltra_test::read_file(helper + "/maps");
        for (const char *library : {"libgtk", "libgdk", "libX11", "libcairo", "libcurl", "libdbus"}) {
            EXPECT_EQ(maps.find(library), std::string::npos) << library << " in the helper";
        }
    }
    EXPECT_EQ(states(gui->dev_log()), " 1 ") << gui->dev_log();
    EXPECT_TRUE(shows_flag(ready, env("VELTRA_SANDBOX_HOME_COUNTRY")));
    EXPECT_TRUE(flat(ready, kDetails));
    auto list_shown = [&](const Screenshot &s) { return s.painted() && !s.same_area(ready, kConnect); };
    auto main_shown = [&](const Screenshot &s) { return s.painted() && s.same_area(ready, kConnect); };

    // The favourite is the first row, and the main screen shows its row.
    gui->click(*main, kServerRow);
    const Screenshot list = gui->shot("server_list", list_shown);
    EXPECT_TRUE(row_matches(ready, list, 0)) << "the main screen's row is not the favourite's";
    EXPECT_FALSE(row_matches(ready, list, 2));
    // Three rows fit: the wheel moves nothing. The drag is handled after the
    // wheel, so once the window has moved the wheel has been seen.
    gui->wheel(*main, 200, 160, true, 3);
    gui->wheel(*main, 200, 160, false, 1);
    gui->drag(*main, kGrabX, kGrabY, 10, 10);
    main = gui->wait_shown("the window dragged by (10,10)", main->id, kFirstX + 10, kFirstY + 10);
    ASSERT_TRUE(main);
    EXPECT_TRUE(gui->shot("server_list_after_wheel").same_area(list, kList));

    // The second row is outside the account's plan: neither its star nor
    // the row itself does anything, so Space finds the list still open.
    gui->click(*main, kServerRow.x + kRowStar.x + kNear, kRowTops[1] + kRowStar.y + kNear);
    gui->click(*main, kServerRow.x + 90, kRowTops[1] + 18);
    gui->key("space");
    gui->shot("upgrade_row_ignored", [&](const Screenshot &s) { return main_shown(s) && row_matches(s, list, 0); });
    EXPECT_EQ(gui->setting("favorite_server"), vpn_);
    gui->key("space");
    gui->shot("server_list_reopened", list_shown);

    // Another server chosen: the favourite stays where it was.
    gui->click(*main, kServerRow.x + 90, kRowTops[2] + 18);
    // The row follows the choice within a tick of its timer.
    gui->shot("other_server_chosen", [&](const Screenshot &s) { return main_shown(s) && row_matches(s, list, 2); });
    EXPECT_EQ(gui->setting("favorite_server"), vpn_);

    // Starred, it becomes the favourite; starred again, none is.
    gui->click(*main, kServerRow);
    gui->shot("server_list_again", list_shown);
    gui->click(*main, kServerRow.x + kRowStar.x + kNear, kRowTops[2] + kRowStar.y + kNear);
    EXPECT_TRUE(veltra_test::wait_for([&] { return gui->setting("favorite_server") != vpn_; }));
    EXPECT_EQ(gui->setting("favorite_server"), env("VELTRA_SANDBOX_UNREACHABLE_ADDRESS"));
    // The stars swap: the third row's is the one the first had, and back.
    const Screenshot starred = gui->shot(
        "other_server_starred", [&](const Screenshot &s) { return list_shown(s) && same_star(s, 2, list, 0); });
    EXPECT_TRUE(same_star(starred, 0, list, 2));
    gui->click(*main, kServerRow.x + kRowStar.x + kFar, kRowTops[2] + kRowStar.y + kFar);
    EXPECT_TRUE(veltra_test::wait_for([&] { return gui->setting("favorite_server") == ""; }))
        << gui->setting("favorite_server").value_or("(none)");
    const Screenshot unstarred =
        gui->shot("no_server_starred", [&](const Screenshot &s) { return list_shown(s) && same_star(s, 2, list, 2); });
    EXPECT_TRUE(same_star(unstarred, 0, list, 2));

    // Space closes the list and opens it again while the list can be used.
    gui->key("space");
    gui->shot("space_closes_the_list", main_shown);
    gui->key("space");
    gui->shot("space_opens_the_list", list_shown);
    // The sandbox's VPN server again, to connect to: chosen while no
    // favourite is stored, it becomes the favourite.
    gui->click(*main, kServerRow.x + 90, kRowTops[0] + 18);
    gui->shot("vpn_server_chosen", [&](const Screenshot &s) { return main_shown(s) && row_matches(s, list, 0); });
    EXPECT_EQ(gui->setting("favorite_server"), vpn_);

    // Connect: orange, then green, with the tunnel's address and flag.
    const int tunnel_lookups = lookups_through_tunnel();
    size_t mark = gui->dev_log().size();
    gui->click(*main, kConnect);
    EXPECT_EQ(follow(*gui, *main, Picture::grey, Picture::green), "grey orange green ") << gui->dev_log().substr(mark);
    const Screenshot connected = gui->shot("connected");
    ASSERT_EQ(picture(connected), Picture::green);
    std::string log = gui->dev_log().substr(mark);
    EXPECT_EQ(states(log), " 8 4 ") << log;
    EXPECT_NE(log.find("ip:" + env("VELTRA_SANDBOX_NAT_ADDRESS") + "\ngeo_set: setting remote \n"), std::string::npos)
        << log;
    EXPECT_GT(lookups_through_tunnel(), tunnel_lookups);
    EXPECT_TRUE(shows_flag(connected, env("VELTRA_SANDBOX_NAT_COUNTRY")));
    EXPECT_FALSE(connected.same_area(ready, kIpText)) << "the address line did not change";
    EXPECT_FALSE(connected.same_area(ready, kStatus));
    EXPECT_GT(gui->openvpn_child(), 0);

    // While connected the server row and Space do nothing.
    gui->click(*main, kServerRow);
    gui->key("space");
    gui->drag(*main, kGrabX, kGrabY, 10, 10);
    main = gui->wait_shown("the window dragged by (10,10)", main->id, kFirstX + 20, kFirstY + 20);
    ASSERT_TRUE(main);
    const Screenshot still = gui->shot("connected_row_and_space_ignored");
    EXPECT_TRUE(still.same_area(connected, kConnect));
    EXPECT_TRUE(still.same_area(connected, kServerRow));

    // Disconnect: orange, then grey, the first address back.
    mark = gui->dev_log().size();
    gui->click(*main, kConnect);
    EXPECT_EQ(follow(*gui, *main, Picture::green, Picture::grey), "green orange grey ");
    const Screenshot disconnected = gui->shot("disconnected", [&](const Screenshot &s) {
        return s.painted() && s.same_area(ready, kIpText) && shows_flag(s, env("VELTRA_SANDBOX_HOME_COUNTRY"));
    });
    log = gui->dev_log().substr(mark);
    EXPECT_EQ(states(log), " 16 32 ") << log;
    EXPECT_TRUE(disconnected.same_area(ready, kConnect)) << "not the enabled picture";
    EXPECT_TRUE(disconnected.same_area(ready, kIpText)) << "the first address is not back";
    EXPECT_TRUE(shows_flag(disconnected, env("VELTRA_SANDBOX_HOME_COUNTRY")));
    EXPECT_FALSE(disconnected.same_area(ready, kStatus)) << "\"Ready!\" rather than \"Disconnected!\"";
    EXPECT_TRUE(veltra_test::wait_for([&] { return gui->openvpn_child() == -1 && routes() == baseline; })) << routes();
    EXPECT_TRUE(gui->opened_urls().empty()) << gui->opened_urls();

    // Exit while connected: the worker threads are still busy with the
    // tunnel when the main loop ends, and the client must still end cleanly.
    // The tunnel itself outlives it until the next start ends it.
    gui->click(*main, kConnect);
    EXPECT_EQ(follow(*gui, *main, Picture::grey, Picture::green), "grey orange green ");
    const pid_t openvpn = gui->openvpn_child();
    ASSERT_GT(openvpn, 0);
    gui->click(*main, kClose);
    // A dialog takes the window's place.
    std::optional<ClientWindow> exit = gui->wait_new_window("the exit dialog", main->id, kFirstX + 20, kFirstY + 20);
    ASSERT_TRUE(exit);
    gui->click(*exit, kYes);
    EXPECT_EQ(gui->wait_exit(), 0) << gui->client_output();
    kill(openvpn, SIGTERM);
    EXPECT_TRUE(veltra_test::wait_for([&] { return waitpid(openvpn, nullptr, WNOHANG) == openvpn; }));
}

// The settings screen writes each switch at once, and its back button
// returns; log out brings the login window to the same place, and a second
// sign-in builds a fresh main view that works like the first.
TEST_F(MainWindowE2e, SettingsSwitchesWriteAtOnceAndLogOutBuildsAFreshMainView) {
    std::unique_ptr<GuiSession> gui = start("favorite_server=" + vpn_ + "\nauto_connect=0\n");
    ASSERT_NE(gui, nullptr);
    Screenshot ready;
    std::optional<ClientWindow> main = sign_in(*gui, kFirstX, kFirstY, &ready);
    ASSERT_TRUE(main) << gui->dev_log() << gui->client_output();
    gui->drag(*main, kGrabX, kGrabY, 40, 30);
    main = gui->wait_shown("the dragged main window", main->id, kFirstX + 40, kFirstY + 30);
    ASSERT_TRUE(main);

    gui->click(*main, kSettings);
    const Screenshot settings = gui->shot("settings", [&](const Screenshot &s) {
        return s.painted() && !s.same_area(ready, kConnect) && !s.same_area(ready, kServerRow);
    });
    // What was stored before any switch was touched: all three off.
    EXPECT_FALSE(gui->autostart_entry_exists());
    EXPECT_EQ(gui->setting("auto_connect"), "0");
    EXPECT_EQ(gui->setting("password").value_or(""), "");

    struct Switch {
        const char *name;
        std::function<std::string()> stored;
        std::string on;
        std::string off;
    };
    const Switch switches[] = {
        {"auto_start", [&] { return std::string(gui->autostart_entry_exists() ? "entry" : "none"); }, "entry", "none"},
        {"auto_connect", [&] { return gui->setting("auto_connect").value_or("(none)"); }, "1", "0"},
        {"save_password", [&] { return gui->setting("password").value_or(""); }, password_, ""},
    };
    std::optional<Screenshot> first_on;
    for (int i = 0; i < 3; ++i) {
        const Switch &sw = switches[i];
        SCOPED_TRACE(sw.name);
        const Rect &area = kSwitches[i];
        gui->click(*main, area.x + kNear, area.y + kNear);
        EXPECT_TRUE(veltra_test::wait_for([&] { return sw.stored() == sw.on; })) << sw.stored();
        const Screenshot on = gui->shot(std::string(sw.name) + "_on", [&](const Screenshot &s) {
            return s.painted() && !s.same_area(settings, area);
        });
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(on.same_area(settings, kSwitches[j]), j != i) << j;
        }
        // The same "on" knob in every row (its left end lies over the caption).
        if (!first_on) {
            first_on = on;
        }
        EXPECT_TRUE(same_at(on, area.x + 45, area.y, *first_on, kSwitches[0].x + 45, kSwitches[0].y, 45, area.height));
        gui->click(*main, area.x + area.width - kNear, area.y + area.height - kNear);
        EXPECT_TRUE(veltra_test::wait_for([&] { return sw.stored() == sw.off; })) << sw.stored();
        gui->shot(std::string(sw.name) + "_off", [&](const Screenshot &s) { return s.same_area(settings, area); });
    }
    EXPECT_EQ(gui->setting("username"), email_);

    gui->click(*main, kSettings);
    const Screenshot back = gui->shot("back_from_settings", [&](const Screenshot &s) {
        return s.painted() && s.same_area(ready, kConnect) && s.same_area(ready, kServerRow);
    });
    EXPECT_TRUE(back.same_area(ready, kStatus));

    // Log out: the login window in the main window's place.
    gui->click(*main, kLogOut);
    Screenshot again;
    const std::optional<ClientWindow> second = sign_in(*gui, kFirstX + 40, kFirstY + 30, &again, main->id);
    ASSERT_TRUE(second) << gui->dev_log();
    EXPECT_NE(second->id, main->id);
    EXPECT_FALSE(gui->exists(main->id));
    const std::string log = gui->dev_log();
    EXPECT_EQ(count_occurrences(log, "Creating main window\n"), 2) << log;
    EXPECT_EQ(count_occurrences(log, "Windows controller - on main end enter\n"), 1) << log;
    // The fresh view shows what the first showed, and its row still opens
    // the list, which "Cancel" closes.
    for (const Rect &area : {kConnect, kStatus, kServerRow, kIpText, kDetails}) {
        EXPECT_TRUE(again.same_area(ready, area)) << area.x << "," << area.y;
    }
    gui->click(*second, kServerRow);
    gui->shot("fresh_server_list", [&](const Screenshot &s) { return s.painted() && !s.same_area(again, kConnect); });
    gui->click(*second, kServerRow.x + kFar, kServerRow.y + kNear);
    gui->shot("fresh_list_cancelled", [&](const Screenshot &s) { return s.same_area(again, kConnect); });
    EXPECT_EQ(gui->setting("password").value_or(""), "");

    // Log out while connected, then while connecting: the connection ends
    // with its window, and the next sign-in starts from "Ready!" with no
    // disconnect or error of the old one reaching it.
    std::optional<ClientWindow> current = second;
    for (const bool wait_for_green : {true, false}) {
        SCOPED_TRACE(wait_for_green ? "connected" : "connecting");
        gui->click(*current, kConnect);
        follow(*gui, *current, Picture::grey, wait_for_green ? Picture::green : Picture::orange);
        const size_t mark = gui->dev_log().size();
        gui->click(*current, kLogOut);
        Screenshot signed_in;
        const std::optional<ClientWindow> next = sign_in(*gui, kFirstX + 40, kFirstY + 30, &signed_in, current->id);
        ASSERT_TRUE(next) << gui->dev_log();
        EXPECT_TRUE(veltra_test::wait_for(
            [&] { return gui->dev_log().find("vpn_manager_thread - disconnect done\n", mark) != std::string::npos; },
            30s));
        EXPECT_EQ(states(gui->dev_log().substr(mark)), " 1 ") << gui->dev_log().substr(mark);
        EXPECT_EQ(picture(gui->shot("signed_in_after_log_out")), Picture::grey);
        EXPECT_EQ(gui->openvpn_child(), -1);
        EXPECT_FALSE(veltra_test::sandbox_leak_block_present());
        current = next;
    }
    // Timers of the first view left running would have drawn destroyed widgets.
    EXPECT_EQ(gui->client_output().find("CRITICAL"), std::string::npos) << gui->client_output();
}

// Stored credentials and auto-connect: the window opens connecting and turns
// green through the tunnel without an error; then the tunnel's OpenVPN dies
// and the window shows the error, whose details are OpenVPN's output.
TEST_F(MainWindowE2e, AutoConnectTurnsGreenAndAKilledTunnelShowsItsLog) {
    const std::string baseline = routes();
    std::unique_ptr<GuiSession> gui =
        start("username=" + email_ + "\npassword=" + password_ + "\nfavorite_server=" + vpn_ + "\nauto_connect=1\n");
    ASSERT_NE(gui, nullptr);
    ASSERT_TRUE(
        veltra_test::wait_for([&] { return gui->dev_log().find("Created main window") != std::string::npos; }, 30s))
        << gui->dev_log() << gui->client_output();
    std::optional<ClientWindow> main = gui->wait_window(
        "the main window", [](const ClientWindow &w) { return w.frame.x == kFirstX && w.frame.y == kFirstY; });
    ASSERT_TRUE(main);

    // Before its first paint the window shows no picture; the first is
    // already "connecting".
    std::string seen = follow(*gui, *main, Picture::other, Picture::orange);
    gui->shot("auto_connecting");
    seen += follow(*gui, *main, Picture::orange, Picture::green);
    EXPECT_EQ(seen, "other orange orange green ") << gui->dev_log();
    const Screenshot connected = gui->shot("auto_connected");
    ASSERT_EQ(picture(connected), Picture::green);
    std::string log = gui->dev_log();
    const size_t auto_connect = log.find("Auto connect to favorite server\n");
    ASSERT_NE(auto_connect, std::string::npos) << log;
    EXPECT_EQ(states(log.substr(auto_connect)), " 8 4 ") << log;
    EXPECT_NE(log.find("ip:" + env("VELTRA_SANDBOX_NAT_ADDRESS") + "\ngeo_set: setting remote \n"), std::string::npos)
        << log;
    EXPECT_GE(lookups_through_tunnel(), 1);
    EXPECT_TRUE(shows_flag(connected, env("VELTRA_SANDBOX_NAT_COUNTRY")));
    EXPECT_TRUE(flat(connected, kDetails)) << "\"Click for details\" shows while connected";

    // The tunnel dies under the client: the error, then it disconnects.
    const pid_t child = gui->openvpn_child();
    ASSERT_GT(child, 0);
    const size_t mark = gui->dev_log().size();
    ASSERT_EQ(kill(child, SIGKILL), 0);
    EXPECT_EQ(follow(*gui, *main, Picture::green, Picture::red), "green red ");
    const Screenshot error = gui->shot("error");
    ASSERT_EQ(picture(error), Picture::red);
    EXPECT_FALSE(flat(error, kDetails)) << "no \"Click for details\"";
    // "Error! Disconnecting...": the tunnel is gone, and nothing leaves
    // without it, not even over IPv4 (the default route is home's own again).
    ASSERT_TRUE(veltra_test::wait_for([&] { return states(gui->dev_log().substr(mark)).ends_with(" 80 "); }));
    const veltra_test::SandboxReach disconnecting = veltra_test::sandbox_reach();
    EXPECT_EQ(disconnecting, veltra_test::SandboxReach{}) << veltra_test::describe(disconnecting);
    EXPECT_TRUE(states(gui->dev_log().substr(mark)).ends_with(" 80 ")) << "checked too late";
    EXPECT_TRUE(veltra_test::wait_for([&] { return states(gui->dev_log().substr(mark)).ends_with(" 96 "); }, 30s));
    EXPECT_EQ(veltra_test::sandbox_reach(), (veltra_test::SandboxReach{true, true, true}));
    EXPECT_FALSE(veltra_test::sandbox_leak_block_present());
    const Screenshot disconnected = gui->shot("error_disconnected");
    EXPECT_EQ(picture(disconnected), Picture::red);
    EXPECT_TRUE(disconnected.same_area(error, kDetails));
    log = gui->dev_log().substr(mark);
    EXPECT_EQ(states(log), " 64 80 96 ") << log;
    EXPECT_EQ(count_occurrences(log, "vpn_button_invoke_vpn_disconnect enter. \n"), 1) << log;
    EXPECT_EQ(gui->openvpn_child(), -1);
    // A killed OpenVPN cannot take back its host route to the server; no
    // other route may be left.
    const std::string host_route = vpn_ + " via " + vpn_ + " dev ";
    std::string left = routes();
    if (const size_t at = left.find(host_route); at != std::string::npos) {
        left.erase(at, left.find('\n', at) + 1 - at);
        veltra_test::run_program({"ip", "route", "del", vpn_ + "/32"});
    }
    EXPECT_EQ(left, baseline);

    // "Click for details": this run's OpenVPN output, handed to the desktop.
    EXPECT_TRUE(gui->opened_urls().empty()) << gui->opened_urls();
    gui->click(*main, kDetails);
    ASSERT_TRUE(veltra_test::wait_for([&] { return !gui->opened_urls().empty(); })) << gui->client_output();
    std::string opened = gui->opened_urls();
    opened.erase(opened.find('\n'));
    g_autofree char *file = g_filename_from_uri(opened.c_str(), nullptr, nullptr);
    const std::string path = file != nullptr ? file : opened;
    EXPECT_EQ(path.rfind(gui->log_folder("out") + "/", 0), 0u) << path;
    const std::string shown = veltra_test::read_file(path);
    EXPECT_NE(shown.find("Initialization Sequence Completed"), std::string::npos) << path << ":\n" << shown;
    EXPECT_EQ(shown, gui->out_log());
    gui->shot("error_details_opened");
    EXPECT_EQ(gui->opened_urls(), opened + "\n");
}

}  // namespace
