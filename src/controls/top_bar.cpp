// CreateGtkFixedTopbarView, pelk_controls_topbar_*: the top bar that moves, minimises and closes.
#include "controls/top_bar.h"

#include "base/ui_callbacks.h"
#include "resources/resource_manager.h"

#include <atomic>

static gboolean OnMinimizeClicked(GtkWidget *widget, GdkEvent *event, gpointer window);
static gboolean OnCloseClicked(GtkWidget *widget, GdkEvent *event, gpointer window);
static gboolean pelk_controls_topbar_on_event(GtkWidget *widget, GdkEvent *event, gpointer window);

namespace {

constexpr int kBarWidth = 421;
constexpr int kBarHeight = 52;
constexpr int kButtonWidth = 24;
constexpr int kButtonHeight = 21;
constexpr int kMinimizeX = 357;
constexpr int kCloseX = 383;
constexpr int kButtonY = 16;
constexpr int kDragWidth = 350;

// Shared by every window of the run, so each new window opens where the
// last one was left. Main thread only; atomics keep a stray reader honest.
std::atomic<int> last_x{200};
std::atomic<int> last_y{200};
int grab_x = 0;
int grab_y = 0;

GtkWidget *button_box(GtkWidget *picture) {
    GtkWidget *box = gtk_event_box_new();
    gtk_widget_set_size_request(box, kButtonWidth, kButtonHeight);
    gtk_container_add(GTK_CONTAINER(box), picture);
    return box;
}

}  // namespace

GtkWidget *CreateGtkFixedTopbarView(GtkWindow *window, gboolean with_buttons) {
    GtkWidget *close = button_box(pelk_resources_image_top_bar_button_close_new());
    GtkWidget *minimize = button_box(pelk_resources_image_top_bar_button_minimize_new());
    GtkWidget *drag = gtk_event_box_new();
    gtk_widget_set_size_request(drag, kDragWidth, kBarHeight);

    GtkWidget *bar = gtk_fixed_new();
    gtk_widget_set_size_request(bar, kBarWidth, kBarHeight);
    gtk_fixed_put(GTK_FIXED(bar), pelk_resources_image_top_bar_background_new(), 0, 0);
    gtk_fixed_put(GTK_FIXED(bar), minimize, kMinimizeX, kButtonY);
    gtk_fixed_put(GTK_FIXED(bar), close, kCloseX, kButtonY);
    gtk_fixed_put(GTK_FIXED(bar), drag, 0, 0);

    if (with_buttons) {
        g_signal_connect(close, "button_press_event", G_CALLBACK(OnCloseClicked), window);
        g_signal_connect(minimize, "button_press_event", G_CALLBACK(OnMinimizeClicked), window);
    }
    g_signal_connect(drag, "event", G_CALLBACK(pelk_controls_topbar_on_event), window);
    return bar;
}

int pelk_controls_topbar_get_window_last_position_x(void) { return last_x.load(); }
int pelk_controls_topbar_get_window_last_position_y(void) { return last_y.load(); }

gboolean OnMinimizeClicked(GtkWidget *, GdkEvent *, gpointer window) {
    if (!GTK_IS_WINDOW(window)) {
        return FALSE;
    }
    gtk_window_iconify(GTK_WINDOW(window));
    // The tray decides whether the window may also be hidden: only where an
    // icon is there to bring it back.
    pelk_ui_report_minimize(GTK_WINDOW(window));
    return FALSE;
}

gboolean OnCloseClicked(GtkWidget *, GdkEvent *, gpointer) {
    pelk_ui_report_exit_requested();
    return FALSE;
}

gboolean pelk_controls_topbar_on_event(GtkWidget *, GdkEvent *event, gpointer window) {
    switch (event->type) {
    case GDK_BUTTON_PRESS:
        grab_x = static_cast<int>(event->button.x);
        grab_y = static_cast<int>(event->button.y);
        break;
    case GDK_MOTION_NOTIFY: {
        const int x = static_cast<int>(event->motion.x_root) - grab_x;
        const int y = static_cast<int>(event->motion.y_root) - grab_y;
        if (GTK_IS_WINDOW(window)) {
            gtk_window_move(GTK_WINDOW(window), x, y);
        }
        last_x = x;
        last_y = y;
        break;
    }
    default:
        break;
    }
    return FALSE;
}
