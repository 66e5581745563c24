// CreateServerSelectView: the server selection screen.
#include "views/server_select_view.h"

#include "controls/bottom_bar.h"
#include "controls/top_bar.h"
#include "view_models/main_view_model.h"
#include "views/main_window_controller.h"
#include "views/server_list.h"

static gboolean pelk_views_server_select_view_calcel_clicked(GtkWidget *widget, GdkEvent *event, gpointer data);
// Connected to the main window: Space opens and closes the selection while
// the list can be used; the arrow keys and Home do nothing.
static gboolean pelk_views_pelk_main_window_controller_on_server_select_key_press(GtkWidget *window, GdkEventKey *event,
                                                                                  gpointer data);

namespace {

constexpr int kListX = 102, kListY = 60;
constexpr int kCancelX = 102, kCancelY = 292;

}  // namespace

GtkWidget *CreateServerSelectView(GtkWidget *window) {
    GtkWidget *view = gtk_fixed_new();
    gtk_fixed_put(GTK_FIXED(view), CreateGtkFixedTopbarView(GTK_WINDOW(window), TRUE), 0, 0);
    gtk_fixed_put(GTK_FIXED(view), pelk_controls_server_list_new(pelk_view_model_main_server_list_get()), kListX,
                  kListY);
    GtkWidget *cancel = pelk_controls_server_button_new_just_label("Cancel");
    gtk_fixed_put(GTK_FIXED(view), cancel, kCancelX, kCancelY);
    pelk_controls_bottom_bar_new_to_fixed_common(GTK_FIXED(view));
    // The label row has no handlers of its own; its whole area cancels.
    GtkWidget *cancel_area = gtk_event_box_new();
    gtk_event_box_set_visible_window(GTK_EVENT_BOX(cancel_area), FALSE);
    gtk_widget_set_size_request(cancel_area, pelk_controls_server_button_width_get(),
                                pelk_controls_server_button_height_get());
    gtk_fixed_put(GTK_FIXED(view), cancel_area, kCancelX, kCancelY);
    g_signal_connect(cancel_area, "button_press_event", G_CALLBACK(pelk_views_server_select_view_calcel_clicked),
                     nullptr);
    g_signal_connect(window, "key-press-event",
                     G_CALLBACK(pelk_views_pelk_main_window_controller_on_server_select_key_press), nullptr);
    return view;
}

gboolean pelk_views_server_select_view_calcel_clicked(GtkWidget *, GdkEvent *, gpointer) {
    pelk_main_window_controller_on_server_select_cancel();
    return FALSE;
}

gboolean pelk_views_pelk_main_window_controller_on_server_select_key_press(GtkWidget *, GdkEventKey *event, gpointer) {
    if (!pelk_controls_server_list_is_shown() || !pelk_view_model_main_is_server_list_enabled_get()) {
        return FALSE;
    }
    switch (event->keyval) {
    case GDK_KEY_space:
        pelk_main_window_controller_on_server_select_cancel();
        return TRUE;
    case GDK_KEY_Home:
    case GDK_KEY_Left:
    case GDK_KEY_Up:
    case GDK_KEY_Right:
    case GDK_KEY_Down:
        return TRUE;
    default:
        return FALSE;
    }
}
