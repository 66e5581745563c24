// The client's windows as a user meets them: the built program on its own X
// server, signing in to the reference account service over TLS. Every
// screen reached is saved under screenshots/ for a human look.
#include "gui_session.h"

#include "support/reference_service.h"
#include "support/scripted_https_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

namespace {

using veltra_test::ClientWindow;
using veltra_test::GuiOptions;
using veltra_test::GuiSession;
using veltra_test::Rect;
using veltra_test::ReferenceService;
using veltra_test::Rgb;
using veltra_test::Screenshot;

// Window-relative places of the controls.
constexpr Rect kEmail{100, 114, 233, 40};
constexpr Rect kPassword{100, 203, 233, 40};
constexpr Rect kLogin{153, 264, 130, 44};
constexpr Rect kForgot{153, 333, 130, 21};
constexpr Rect kMinimise{357, 16, 24, 21};
constexpr Rect kClose{383, 16, 24, 21};
constexpr Rect kMessage{0, 50, 421, 150};  // the part of the message area above the OK button
constexpr Rect kOk{175, 250, 68, 37};
constexpr Rect kYes{128, 250, 68, 37};
constexpr Rect kNo{228, 250, 68, 37};
constexpr int kGrabX = 150, kGrabY = 26;  // inside the top bar's drag area
constexpr int kFirstX = 200, kFirstY = 200;
constexpr Rgb kBackground{8, 122, 73};

const char kSignUp[] = "https://veltra.example/sign-up\n";
// As long as an entry holds: 100 characters of four bytes each.
const std::string kLongPassword = [] {
    std::string text;
    for (int i = 0; i < 100; ++i) {
        text += "\xf0\x9f\x94\x91";  // U+1F511
    }
    return text;
}();
const char kPricing[] = "https://veltra.example/pricing\n";

bool at_first_place(const ClientWindow &w) { return w.frame.x == kFirstX && w.frame.y == kFirstY; }

std::string at(unsigned long id, int x, int y) {
    return std::to_string(id) + "@(" + std::to_string(x) + "," + std::to_string(y) + ") ";
}

// Each window the client mapped so far as "id@(x,y)", in order.
std::string maps(GuiSession &gui) {
    std::string text;
    for (const ClientWindow &w : gui.mapped()) {
        text += at(w.id, w.frame.x, w.frame.y);
    }
    return text;
}

bool near(const Rgb &a, const Rgb &b) {
    return std::abs(a.r - b.r) <= 2 && std::abs(a.g - b.g) <= 2 && std::abs(a.b - b.b) <= 2;
}

class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        service_ = ReferenceService::start({{"alice@example.com", "correct horse", "premium", "PK-ALICE", 30},
                                            {"carol@example.com", "carol-secret", "basic", "PK-CAROL", -3},
                                            {"dave@example.com", kLongPassword, "premium", "PK-DAVE", 30}},
                                           {{"198.18.1.1", "Netherlands 1", "nl", {1194}, true, {}},
                                            {"198.18.1.5", "Jakarta", "id", {1194}, true, {}}});
        ASSERT_NE(service_, nullptr);
    }

    std::unique_ptr<GuiSession> start(const GuiOptions &options = {}) {
        std::unique_ptr<GuiSession> session = GuiSession::start(service_->base_url(), service_->ca_file(), options);
        EXPECT_NE(session, nullptr);
        return session;
    }

    // Sign-in requests that reached the service with this e-mail (the
    // client leaves '@' unescaped).
    int sign_ins(const std::string &email) const {
        return veltra_test::count_occurrences(service_->log(), "/authentication?email=" + email + "&");
    }

    std::unique_ptr<ReferenceService> service_;
};

// Waits for the login picture to be (or not to be) the one in reference.
Screenshot login_button_shot(GuiSession &gui, const std::string &step, const Screenshot &reference, bool same) {
    return gui.shot(step, [&](const Screenshot &s) { return s.painted() && s.same_area(reference, kLogin) == same; });
}

TEST_F(GuiTest, SignInFromTheLoginWindowOpensTheMainWindowInItsPlace) {
    std::unique_ptr<GuiSession> gui = start();
    ASSERT_NE(gui, nullptr);

    std::optional<ClientWindow> login = gui->wait_window("the login window", at_first_place);
    ASSERT_TRUE(login) << gui->client_output();
    const Screenshot empty = gui->shot("login_empty");
    EXPECT_TRUE(near(empty.pixel(20, 300), kBackground));
    // Where a password is reset: over HTTPS.
    gui->click(*login, kForgot);
    EXPECT_TRUE(veltra_test::wait_for([&] { return !gui->opened_urls().empty(); }));
    EXPECT_EQ(gui->opened_urls(), "https://veltra.example/forgot-password\n");

    // While both entries are empty the e-mail entry takes the focus back:
    // a click into the password entry does not hold.
    gui->click(*login, kPassword);
    const Screenshot clicked = gui->shot("login_focus_back_to_email", [&](const Screenshot &s) {
        return s.painted() && s.same_area(empty, kPassword) && s.same_area(empty, kEmail);
    });
    EXPECT_TRUE(clicked.same_area(empty, kPassword)) << "the password entry kept the focus";
    EXPECT_TRUE(clicked.same_area(empty, kLogin));

    // One entry holding text is not enough. The drag that follows is handled
    // after the keys, so once the window has moved they have been seen.
    gui->type_into(*login, kEmail, "alice@example.com");
    gui->drag(*login, kGrabX, kGrabY, 20, 10);
    login = gui->wait_shown("the login window dragged by (20,10)", login->id, kFirstX + 20, kFirstY + 10);
    ASSERT_TRUE(login);
    const Screenshot email_only = gui->shot("login_email_only");
    EXPECT_TRUE(email_only.same_area(empty, kLogin)) << "the login picture changed with one entry empty";
    EXPECT_TRUE(near(email_only.pixel(20, 300), kBackground));

    gui->type_into(*login, kPassword, "correct hors");
    const Screenshot both = login_button_shot(*gui, "login_both_entries", empty, false);
    // The disabled picture is the greyed one, the enabled one bright green.
    double grey = 0;
    double green = 0;
    empty.mean(kLogin, &grey);
    const Rgb enabled = both.mean(kLogin, &green);
    EXPECT_GT(enabled.g, enabled.r);
    EXPECT_GT(enabled.g, enabled.b);
    EXPECT_GT(green, grey + 20);

    // Home and arrow keys neither move the caret nor the focus: the last
    // letter still lands at the end of the password.
    gui->key("Home");
    gui->key("Left", 3);
    gui->key("Up");
    gui->key("Down");
    gui->type("e");
    gui->key("Return");
    const std::optional<ClientWindow> main =
        gui->wait_new_window("the main window in the login window's place", login->id, kFirstX + 20, kFirstY + 10);
    ASSERT_TRUE(main) << gui->dev_log();
    gui->shot("main");
    EXPECT_TRUE(veltra_test::wait_for([&] { return !gui->exists(login->id); })) << "the login window lives on";
    EXPECT_NE(gui->dev_log().find("Created main window"), std::string::npos) << gui->dev_log();
    EXPECT_EQ(sign_ins("alice@example.com"), 1);
    EXPECT_EQ(gui->setting("username"), "alice@example.com");
    EXPECT_EQ(gui->opened_urls(), "https://veltra.example/forgot-password\n");
    // Each window showed in its place from its first moment.
    EXPECT_EQ(maps(*gui), at(login->id, kFirstX, kFirstY) + at(main->id, kFirstX + 20, kFirstY + 10));
}

// Each refusal of the service has its dialog; what the client forgets with
// it shows in what the next sign-in sends and in the settings file.
TEST_F(GuiTest, FailedSignInsShowTheirDialogsAndForgetWhatTheyShould) {
    GuiOptions options;
    options.settings = "[Veltra]\nusername=stale@example.com\nfavorite_server=198.18.1.1\nauto_connect=0\n";
    options.autostart_entry = true;
    std::unique_ptr<GuiSession> gui = start(options);
    ASSERT_NE(gui, nullptr);
    std::optional<ClientWindow> login = gui->wait_window("the login window", at_first_place);
    ASSERT_TRUE(login) << gui->client_output();
    const Screenshot disabled = gui->shot("login");

    // Unknown e-mail (1): both entries and both stored values go.
    gui->clear_entry(*login, kEmail, 40);  // in case the stored name was filled in
    gui->type("ghost@example.com");
    gui->type_into(*login, kPassword, "ghost-pw");
    login_button_shot(*gui, "login_ghost", disabled, false);
    gui->key("Return");
    std::optional<ClientWindow> dialog = gui->wait_new_window("the unknown e-mail dialog", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(dialog) << gui->dev_log();
    gui->shot("dialog_unknown_email");
    EXPECT_EQ(sign_ins("ghost@example.com"), 1);
    EXPECT_EQ(gui->setting("username").value_or(""), "");
    EXPECT_EQ(gui->setting("password").value_or(""), "");
    EXPECT_EQ(gui->setting("favorite_server"), "198.18.1.1");
    EXPECT_EQ(gui->setting("auto_connect"), "0");
    EXPECT_FALSE(gui->autostart_entry_exists());
    // Escape is ignored; the message opens the sign-up page and the dialog stays.
    gui->key("Escape");
    gui->click(*dialog, kMessage);
    EXPECT_TRUE(veltra_test::wait_for([&] { return gui->opened_urls() == kSignUp; })) << gui->opened_urls();
    EXPECT_EQ(gui->window().value_or(ClientWindow{}).id, dialog->id);
    gui->key("Return");
    login = gui->wait_shown("the login window after the dialog", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(login);
    login_button_shot(*gui, "login_after_unknown_email", disabled, true);
    EXPECT_FALSE(gui->exists(dialog->id));

    // Expired plan (3) on an exact e-mail and password: proves the ones
    // before were gone. Both stay for the next try.
    gui->type_into(*login, kEmail, "carol@example.com");
    gui->type_into(*login, kPassword, "carol-secret");
    gui->key("Return");
    dialog = gui->wait_new_window("the expired plan dialog", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(dialog);
    gui->shot("dialog_expired_plan");
    EXPECT_EQ(sign_ins("carol@example.com"), 1);
    gui->click(*dialog, kMessage);
    EXPECT_TRUE(veltra_test::wait_for([&] { return gui->opened_urls() == std::string(kSignUp) + kPricing; }))
        << gui->opened_urls();
    gui->key("space");
    login = gui->wait_shown("the login window after the expired plan", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(login);
    login_button_shot(*gui, "login_after_expired_plan", disabled, false);
    gui->click(*login, kPassword);
    gui->key("Return");
    dialog = gui->wait_new_window("the expired plan dialog again", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(sign_ins("carol@example.com"), 2);
    gui->click(*dialog, kMessage);
    EXPECT_TRUE(veltra_test::wait_for([&] { return gui->opened_urls() == std::string(kSignUp) + kPricing + kPricing; }))
        << gui->opened_urls();
    gui->click(*dialog, kOk);
    login = gui->wait_shown("the login window after the OK button", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(login);

    // Wrong password (2) for a known e-mail: only the password goes. The
    // dialog drags, and Escape does not close it: the drag comes after it.
    gui->clear_entry(*login, kEmail, 40);
    gui->type("alice@example.com");
    gui->key("Return");
    dialog = gui->wait_new_window("the wrong password dialog", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(dialog);
    gui->shot("dialog_wrong_password");
    EXPECT_EQ(sign_ins("alice@example.com"), 1);
    gui->key("Escape");
    gui->drag(*dialog, kGrabX, kGrabY, 50, 20);
    dialog = gui->wait_shown("the dragged dialog", dialog->id, kFirstX + 50, kFirstY + 20);
    ASSERT_TRUE(dialog);
    gui->key("space");
    login = gui->wait_shown("the login window in the dialog's place", login->id, kFirstX + 50, kFirstY + 20);
    ASSERT_TRUE(login);
    login_button_shot(*gui, "login_after_wrong_password", disabled, true);
    EXPECT_EQ(gui->setting("password").value_or(""), "");

    // The right password alone now signs in: the e-mail stayed, and what was
    // typed lands in an empty entry.
    gui->type_into(*login, kPassword, "correct horse");
    gui->key("Return");
    ASSERT_TRUE(gui->wait_new_window("the main window", login->id, kFirstX + 50, kFirstY + 20)) << gui->dev_log();
    gui->shot("main");
    EXPECT_EQ(sign_ins("alice@example.com"), 2);
    EXPECT_EQ(gui->setting("username"), "alice@example.com");
    // No dialog opened a page by itself.
    EXPECT_EQ(gui->opened_urls(), std::string(kSignUp) + kPricing + kPricing);
}

// A reply the client cannot read (here a proxy's page) is error -1: its own
// dialog, and both entries stay for another try.
TEST_F(GuiTest, UnreadableReplyShowsTheErrorDialogAndKeepsBothEntries) {
    const std::string page = "<html><body>Service busy</body></html>\r\n";
    veltra_test::ScriptedReply reply;
    reply.pieces.push_back({"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
                                std::to_string(page.size()) + "\r\n\r\n" + page,
                            nullptr});
    std::unique_ptr<veltra_test::ScriptedHttpsServer> server = veltra_test::ScriptedHttpsServer::start(reply);
    ASSERT_NE(server, nullptr);
    GuiOptions options;
    options.autostart_entry = true;
    std::unique_ptr<GuiSession> gui =
        GuiSession::start(server->url("/RESTF-1.0.2/rest/api/"), server->ca_file(), options);
    ASSERT_NE(gui, nullptr);
    std::optional<ClientWindow> login = gui->wait_window("the login window", at_first_place);
    ASSERT_TRUE(login) << gui->client_output();
    const Screenshot disabled = gui->shot("login");
    auto sign_ins = [&] {
        std::vector<std::string> lines;
        for (const std::string &head : server->requests()) {
            if (head.find("/authentication?") != std::string::npos) {
                lines.push_back(head.substr(0, head.find("\r\n")));
            }
        }
        return lines;
    };

    gui->type_into(*login, kEmail, "alice@example.com");
    gui->type_into(*login, kPassword, "correct horse");
    gui->key("Return");
    std::optional<ClientWindow> dialog = gui->wait_new_window("the error dialog", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(dialog) << gui->dev_log();
    gui->shot("dialog_error");
    // -1 says nothing about the account: the user's setting stays.
    EXPECT_TRUE(gui->autostart_entry_exists());
    gui->click(*dialog, kOk);
    login = gui->wait_shown("the login window after the dialog", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(login);
    login_button_shot(*gui, "login_after_error", disabled, false);

    // The same e-mail and password digest go out again.
    gui->click(*login, kEmail);
    gui->key("Return");
    dialog = gui->wait_new_window("the error dialog again", login->id, kFirstX, kFirstY);
    ASSERT_TRUE(dialog);
    const std::vector<std::string> lines = sign_ins();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_NE(lines[0].find("email=alice@example.com&password="), std::string::npos) << lines[0];
    gui->key("Return");
    ASSERT_TRUE(gui->wait_shown("the login window after Return", login->id, kFirstX, kFirstY));
    EXPECT_TRUE(gui->opened_urls().empty()) << gui->opened_urls();
}

// A passing fault of the service (an error page, an unreadable reply, no
// service at all) loses nothing the user set: the favourite, the autostart
// entry and the stored sign-in stay, and a failed sign-in says so. A
// password as long as the entry holds comes back after a restart, and a
// server in Indonesia ("id") does not empty the list.
TEST_F(GuiTest, PassingServiceFaultsLoseNothingTheUserSet) {
    struct Case {
        const char *name;
        std::string email;
        std::string password;
        std::string favourite;
        std::string faults;
        bool service_gone;
        bool signs_in;
    };
    const Case cases[] = {
        {"a 400-byte password, an Indonesian favourite", "dave@example.com", kLongPassword, "198.18.1.5", "", false,
         true},
        {"server list 503", "alice@example.com", "correct horse", "198.18.1.1", "server_list 503", false, true},
        {"server list unreadable", "alice@example.com", "correct horse", "198.18.1.1", "server_list unreadable", false,
         true},
        {"sign-in 503", "alice@example.com", "correct horse", "198.18.1.1", "authentication 503", false, false},
        {"no service at all", "alice@example.com", "correct horse", "198.18.1.1", "", true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(service_->set_faults(c.faults));
        if (c.service_gone) {
            service_->stop();
        }
        GuiOptions options;
        options.settings = "[Veltra]\nusername=" + c.email + "\npassword=" + c.password +
                           "\nfavorite_server=" + c.favourite + "\nauto_connect=0\n";
        options.autostart_entry = true;
        std::unique_ptr<GuiSession> gui = start(options);
        ASSERT_NE(gui, nullptr);
        // Signed in: the main window in the login window's place; failed:
        // the error dialog there.
        EXPECT_TRUE(veltra_test::wait_for([&] {
            return c.signs_in ? gui->dev_log().find("Created main window") != std::string::npos
                              : gui->mapped().size() >= 2;
        })) << gui->dev_log();
        gui->shot(std::string("after_") + (c.signs_in ? "sign_in" : "failed_sign_in"));
        const std::string log = gui->dev_log();
        EXPECT_EQ(log.find("Created main window") != std::string::npos, c.signs_in) << log;
        if (c.favourite == "198.18.1.5") {
            EXPECT_NE(log.find("id 198.18.1.5 Jakarta\n"), std::string::npos) << log;
        }
        EXPECT_EQ(gui->setting("favorite_server"), c.favourite);
        EXPECT_EQ(gui->setting("username"), c.email);
        EXPECT_EQ(gui->setting("password"), c.password);
        EXPECT_TRUE(gui->autostart_entry_exists());
    }
}

// Stored credentials sign in at once: the login window, opened first as
// always, gives way to the main window in its place; the main window drags,
// and the exit dialog follows the window around.
TEST_F(GuiTest, StoredCredentialsOpenTheMainWindowThatMovesAndExits) {
    GuiOptions options;
    options.settings = "[Veltra]\nusername=alice@example.com\npassword=correct horse\n";
    std::unique_ptr<GuiSession> gui = start(options);
    ASSERT_NE(gui, nullptr);
    ASSERT_TRUE(veltra_test::wait_for([&] { return gui->dev_log().find("Created main window") != std::string::npos; }))
        << gui->dev_log() << gui->client_output();
    std::optional<ClientWindow> main = gui->wait_window("the main window", at_first_place);
    ASSERT_TRUE(main);
    EXPECT_EQ(sign_ins("alice@example.com"), 1);
    gui->shot("main");

    gui->drag(*main, kGrabX, kGrabY, 100, 50);
    main = gui->wait_shown("the dragged main window", main->id, 300, 250);
    ASSERT_TRUE(main);
    gui->shot("main_dragged");

    gui->click(*main, kClose);
    std::optional<ClientWindow> exit = gui->wait_new_window("the exit dialog", main->id, 300, 250);
    ASSERT_TRUE(exit);
    const unsigned long first_exit = exit->id;
    gui->shot("exit_dialog");
    // The dialog's top-bar buttons do nothing; its top bar drags it.
    gui->click(*exit, kMinimise);
    gui->click(*exit, kClose);
    gui->drag(*exit, kGrabX, kGrabY, -50, -30);
    exit = gui->wait_shown("the dragged exit dialog", exit->id, 250, 220);
    ASSERT_TRUE(exit);
    gui->click(*exit, kNo);
    main = gui->wait_shown("the main window in the dialog's place", main->id, 250, 220);
    ASSERT_TRUE(main);
    EXPECT_TRUE(veltra_test::wait_for([&] { return !gui->exists(exit->id); })) << "the exit dialog lives on";
    gui->shot("main_after_no");

    gui->click(*main, kClose);
    exit = gui->wait_new_window("the exit dialog again", main->id, 250, 220);
    ASSERT_TRUE(exit);
    // Nothing else showed, not even for a moment, and nowhere else.
    const std::string shown = maps(*gui);
    const size_t main_shown = shown.find(at(main->id, kFirstX, kFirstY));
    ASSERT_NE(main_shown, std::string::npos) << shown;
    EXPECT_EQ(shown.substr(main_shown), at(main->id, kFirstX, kFirstY) + at(first_exit, 300, 250) +
                                            at(main->id, 250, 220) + at(exit->id, 250, 220));
    EXPECT_LE(veltra_test::count_occurrences(shown.substr(0, main_shown), "@(200,200)"), 1) << shown;
    EXPECT_EQ(veltra_test::count_occurrences(shown.substr(0, main_shown), "@("),
              veltra_test::count_occurrences(shown.substr(0, main_shown), "@(200,200)"))
        << shown;
    gui->click(*exit, kYes);
    EXPECT_EQ(gui->wait_exit(), 0) << gui->client_output();
}

// The minimise button hides to the tray when one runs; without one the
// window stays put.
TEST_F(GuiTest, MinimiseHidesToTheTrayOnlyWhenATrayRuns) {
    {
        GuiOptions options;
        options.tray = true;
        std::unique_ptr<GuiSession> gui = start(options);
        ASSERT_NE(gui, nullptr);
        std::optional<ClientWindow> login = gui->wait_window("the login window", at_first_place);
        ASSERT_TRUE(login) << gui->client_output();
        gui->drag(*login, kGrabX, kGrabY, 100, 50);
        login = gui->wait_shown("the dragged login window", login->id, 300, 250);
        ASSERT_TRUE(login);
        gui->shot("login_with_tray");
        EXPECT_FALSE(gui->tray_icon()) << "the icon shows while the window does";

        // To the tray and back, from the login window and then from the main one.
        std::optional<ClientWindow> window = login;
        for (const char *name : {"login", "main"}) {
            SCOPED_TRACE(name);
            gui->click(*window, kMinimise);
            ASSERT_TRUE(gui->wait_none_shown("the window to hide"));
            std::optional<Rect> icon;
            ASSERT_TRUE(veltra_test::wait_for([&] { return (icon = gui->tray_icon()).has_value(); }))
                << "no status icon in the tray:\n"
                << gui->window_tree();
            const Screenshot tray = gui->shot(std::string(name) + "_in_tray");
            // A picture one can see and hit: the tray offers 22 pixels of height.
            EXPECT_GE(icon->width, 16);
            EXPECT_GE(icon->height, 16);
            std::set<int> colours;
            for (int y = icon->y; y < icon->y + icon->height; ++y) {
                for (int x = icon->x; x < icon->x + icon->width; ++x) {
                    const Rgb c = tray.pixel(x, y);
                    colours.insert(c.r << 16 | c.g << 8 | c.b);
                }
            }
            EXPECT_GE(colours.size(), 3u) << "the icon shows no picture";
            gui->click_screen(icon->x + icon->width / 2, icon->y + icon->height / 2);
            window = gui->wait_shown("the window back from the tray", window->id, 300, 250);
            ASSERT_TRUE(window);
            EXPECT_TRUE(veltra_test::wait_for([&] { return !gui->tray_icon(); })) << "the icon stays";
            gui->shot(std::string(name) + "_back_from_tray");
            if (std::string(name) == "login") {
                gui->type_into(*window, kEmail, "alice@example.com");
                gui->type_into(*window, kPassword, "correct horse");
                gui->key("Return");
                window = gui->wait_new_window("the main window", window->id, 300, 250);
                ASSERT_TRUE(window) << gui->dev_log();
            }
        }
    }

    std::unique_ptr<GuiSession> gui = start();
    ASSERT_NE(gui, nullptr);
    std::optional<ClientWindow> login = gui->wait_window("the login window", at_first_place);
    ASSERT_TRUE(login) << gui->client_output();
    gui->click(*login, kMinimise);
    // The drag is handled after the click: a window it can still move was not hidden.
    gui->drag(*login, kGrabX, kGrabY, 10, 10);
    login = gui->wait_shown("the login window still shown", login->id, kFirstX + 10, kFirstY + 10);
    ASSERT_TRUE(login);
    // Still shown once the client has given up waiting for a tray.
    EXPECT_TRUE(veltra_test::wait_for([&] { return gui->dev_log().find("no system tray") != std::string::npos; }))
        << gui->dev_log();
    EXPECT_EQ(gui->window().value_or(ClientWindow{}).id, login->id);
    gui->shot("login_without_tray");
    EXPECT_FALSE(gui->tray_icon());
}

}  // namespace
