// pelk_resource_manager_*, pelk_resources_*: the image bundle and its shared pictures.
#include "resources/resource_manager.h"

#include <cstdio>

namespace {

GtkWidget *image(const char *path) { return gtk_image_new_from_resource(path); }

GtkImage *shared[PELK_IMAGE_COUNT];

// In the order the slots are numbered.
GtkWidget *(*const kAccessors[PELK_IMAGE_COUNT])(void) = {
    pelk_resources_modal_btn_ok_new,
    pelk_resources_modal_btn_cancel_new,
    pelk_resources_image_login_normal_new,
    pelk_resources_image_login_disabled_new,
    pelk_resources_image_login_focused_new,
    pelk_resources_image_text_view_background_new,
    pelk_resources_image_text_view_background_focused_new,
    pelk_resources_image_bottom_bar_background_new,
    pelk_resources_image_button_connect_disabled_new,
    pelk_resources_image_button_connect_enabled_new,
    pelk_resources_image_button_connect_success_new,
    pelk_resources_image_button_connect_wait_new,
    pelk_resources_image_button_connect_error_new,
    pelk_resources_image_button_server_background_new,
    pelk_resources_image_public_ip_background_new,
    pelk_resources_image_server_star_checked_new,
    pelk_resources_image_server_star_unchecked_new,
    pelk_resources_image_top_bar_button_close_new,
    pelk_resources_image_top_bar_button_minimize_new,
    pelk_resources_image_top_bar_background_new,
    pelk_resources_image_settings_switch_off_new,
    pelk_resources_image_settings_switch_on_new,
    pelk_resources_image_settings_bottom_bar_new,
    pelk_resources_image_main_server_foreground_upgrade_new,
};

}  // namespace

GtkWidget *pelk_resources_modal_btn_ok_new(void) { return image("/Common/Dialogs/btn_ok.png"); }
GtkWidget *pelk_resources_modal_btn_cancel_new(void) { return image("/Common/Dialogs/btn_cancel.png"); }
GtkWidget *pelk_resources_image_login_normal_new(void) { return image("/Common/Login/btnLogin.png"); }
GtkWidget *pelk_resources_image_login_disabled_new(void) { return image("/Common/Login/btnLogin_disabled.png"); }
GtkWidget *pelk_resources_image_login_focused_new(void) { return image("/Common/Login/btnLogin_focused.png"); }
GtkWidget *pelk_resources_image_text_view_background_new(void) {
    return image("/Common/Login/textViewBackground_focused.png");
}
GtkWidget *pelk_resources_image_text_view_background_focused_new(void) {
    return image("/Common/Login/textViewBackground.png");
}
GtkWidget *pelk_resources_image_bottom_bar_background_new(void) { return image("/Common/Main/bottomBar.png"); }
GtkWidget *pelk_resources_image_button_connect_disabled_new(void) {
    return image("/Common/Main/btnConnectDisabled.png");
}
GtkWidget *pelk_resources_image_button_connect_enabled_new(void) {
    return image("/Common/Main/btnConnectDisabled.png");
}
GtkWidget *pelk_resources_image_button_connect_success_new(void) { return image("/Common/Main/btnConnectGreen.png"); }
GtkWidget *pelk_resources_image_button_connect_wait_new(void) { return image("/Common/Main/btnConnectOrange.png"); }
GtkWidget *pelk_resources_image_button_connect_error_new(void) { return image("/Common/Main/btnConnectRed.png"); }
GtkWidget *pelk_resources_image_button_server_background_new(void) {
    return image("/Common/Main/btnServerBackground.png");
}
GtkWidget *pelk_resources_image_public_ip_background_new(void) { return image("/Common/Main/PublicIpBackground.png"); }
GtkWidget *pelk_resources_image_server_star_checked_new(void) { return image("/Common/Main/ServerStar.png"); }
GtkWidget *pelk_resources_image_server_star_unchecked_new(void) {
    return image("/Common/Main/ServerStar_unchecked.png");
}
GtkWidget *pelk_resources_image_top_bar_button_close_new(void) { return image("/Common/TopBar/btnClose.png"); }
GtkWidget *pelk_resources_image_top_bar_button_minimize_new(void) { return image("/Common/TopBar/btnMinimize.png"); }
GtkWidget *pelk_resources_image_top_bar_background_new(void) { return image("/Common/TopBar/Background.png"); }
GtkWidget *pelk_resources_image_settings_switch_off_new(void) { return image("/Common/Settings/switch_off.png"); }
GtkWidget *pelk_resources_image_settings_switch_on_new(void) { return image("/Common/Settings/switch_on.png"); }
GtkWidget *pelk_resources_image_settings_bottom_bar_new(void) { return image("/Common/Settings/bottomBar.png"); }
GtkWidget *pelk_resources_image_main_server_foreground_upgrade_new(void) {
    return image("/Common/Main/btnServerForeground_Upgrade.png");
}

void pelk_resource_manager_init(void) {
    GResource *bundle = resources_get_resource != nullptr ? resources_get_resource() : nullptr;
    if (bundle != nullptr) {
        printf("resources init \n");
        g_resources_register(bundle);
    } else {
        printf("resources not found");
    }
    for (int slot = 0; slot < PELK_IMAGE_COUNT; ++slot) {
        if (shared[slot] == nullptr) {
            // The run keeps these; sinking takes over the floating reference.
            shared[slot] = GTK_IMAGE(g_object_ref_sink(kAccessors[slot]()));
        }
    }
}

GtkImage *pelk_resource_manager_image(pelk_resource_image which) {
    return which >= 0 && which < PELK_IMAGE_COUNT ? shared[which] : nullptr;
}
