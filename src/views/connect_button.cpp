// pelk_controls_vpn_button_*: the connect button.
#include "views/connect_button.h"

#include "dal/vpn_button_state.h"
#include "resources/resource_manager.h"
#include "view_models/main_view_model.h"

namespace {

constexpr int kSize = 118;

}  // namespace

GtkWidget *pelk_controls_vpn_button_new(void) {
    GtkWidget *button = gtk_fixed_new();
    GtkWidget *area = gtk_event_box_new();
    gtk_widget_set_size_request(area, kSize, kSize);
    gtk_fixed_put(GTK_FIXED(button), area, 0, 0);
    g_signal_connect(area, "button_press_event", G_CALLBACK(vpn_button_on_clicked), area);
    return button;
}

gboolean vpn_button_on_clicked(GtkWidget *, GdkEvent *, gpointer) {
    // Every press counts, the extra one of a double click included: the view
    // model decides from the state what a press means.
    pelk_view_model_main_on_vpn_button_clicked();
    return FALSE;
}

GtkImage *pelk_controls_vpn_button_picture_for(unsigned state) {
    if (pelk_dal_vpn_button_state_is_error(state)) {
        return pelk_resource_manager_image(PELK_IMAGE_CONNECT_ERROR);
    }
    if (pelk_dal_vpn_button_state_is_enabled(state)) {
        return pelk_resource_manager_image(PELK_IMAGE_CONNECT_ENABLED);
    }
    if (pelk_dal_vpn_button_state_is_disabled(state)) {
        return pelk_resource_manager_image(PELK_IMAGE_CONNECT_DISABLED);
    }
    if (pelk_dal_vpn_button_state_is_disconnected(state)) {
        return pelk_resource_manager_image(PELK_IMAGE_CONNECT_ENABLED);
    }
    if (pelk_dal_vpn_button_state_is_disconnecting(state)) {
        return pelk_resource_manager_image(PELK_IMAGE_CONNECT_WAIT);
    }
    if (pelk_dal_vpn_button_state_is_connected(state)) {
        return pelk_resource_manager_image(PELK_IMAGE_CONNECT_SUCCESS);
    }
    if (pelk_dal_vpn_button_state_is_connecting(state)) {
        return pelk_resource_manager_image(PELK_IMAGE_CONNECT_WAIT);
    }
    return nullptr;
}
