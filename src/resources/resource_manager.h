// pelk_resource_manager_*, pelk_resources_*: the image bundle and its shared pictures.
#pragma once

#include <gtk/gtk.h>

// The pictures of the window, compiled into the program as one resource
// bundle. Each accessor makes a new GtkImage (a floating reference) from its
// picture; pelk_resource_manager_init makes one of each for the whole run,
// which the draw handlers paint from.

GtkWidget *pelk_resources_modal_btn_ok_new(void);
GtkWidget *pelk_resources_modal_btn_cancel_new(void);
GtkWidget *pelk_resources_image_login_normal_new(void);
GtkWidget *pelk_resources_image_login_disabled_new(void);
GtkWidget *pelk_resources_image_login_focused_new(void);
// These two are paired crosswise with their files: the plain one gives
// textViewBackground_focused.png (the dark green look of an entry without
// the focus), the focused one textViewBackground.png (the black look).
GtkWidget *pelk_resources_image_text_view_background_new(void);
GtkWidget *pelk_resources_image_text_view_background_focused_new(void);
GtkWidget *pelk_resources_image_bottom_bar_background_new(void);
// Enabled and disabled show the same picture.
GtkWidget *pelk_resources_image_button_connect_disabled_new(void);
GtkWidget *pelk_resources_image_button_connect_enabled_new(void);
GtkWidget *pelk_resources_image_button_connect_success_new(void);
GtkWidget *pelk_resources_image_button_connect_wait_new(void);
GtkWidget *pelk_resources_image_button_connect_error_new(void);
GtkWidget *pelk_resources_image_button_server_background_new(void);
GtkWidget *pelk_resources_image_public_ip_background_new(void);
GtkWidget *pelk_resources_image_server_star_checked_new(void);
GtkWidget *pelk_resources_image_server_star_unchecked_new(void);
GtkWidget *pelk_resources_image_top_bar_button_close_new(void);
GtkWidget *pelk_resources_image_top_bar_button_minimize_new(void);
GtkWidget *pelk_resources_image_top_bar_background_new(void);
GtkWidget *pelk_resources_image_settings_switch_off_new(void);
GtkWidget *pelk_resources_image_settings_switch_on_new(void);
GtkWidget *pelk_resources_image_settings_bottom_bar_new(void);
GtkWidget *pelk_resources_image_main_server_foreground_upgrade_new(void);

// The bundle (made by glib-compile-resources), or NULL when the program was
// linked without it.
extern "C" GResource *resources_get_resource(void) __attribute__((weak));

// Registers the bundle and makes the shared pictures; once, after gtk_init
// and before the first window. A missing bundle leaves GTK's missing-image
// picture in each slot and start-up goes on.
void pelk_resource_manager_init(void);

// The shared pictures, in the order they are made.
enum pelk_resource_image {
    PELK_IMAGE_MODAL_OK,
    PELK_IMAGE_MODAL_CANCEL,
    PELK_IMAGE_LOGIN_NORMAL,
    PELK_IMAGE_LOGIN_DISABLED,
    PELK_IMAGE_LOGIN_FOCUSED,
    PELK_IMAGE_TEXT_VIEW_BACKGROUND,
    PELK_IMAGE_TEXT_VIEW_BACKGROUND_FOCUSED,
    PELK_IMAGE_BOTTOM_BAR,
    PELK_IMAGE_CONNECT_DISABLED,
    PELK_IMAGE_CONNECT_ENABLED,
    PELK_IMAGE_CONNECT_SUCCESS,
    PELK_IMAGE_CONNECT_WAIT,
    PELK_IMAGE_CONNECT_ERROR,
    PELK_IMAGE_SERVER_BACKGROUND,
    PELK_IMAGE_PUBLIC_IP_BACKGROUND,
    PELK_IMAGE_SERVER_STAR_CHECKED,
    PELK_IMAGE_SERVER_STAR_UNCHECKED,
    PELK_IMAGE_TOP_BAR_CLOSE,
    PELK_IMAGE_TOP_BAR_MINIMIZE,
    PELK_IMAGE_TOP_BAR_BACKGROUND,
    PELK_IMAGE_SETTINGS_SWITCH_OFF,
    PELK_IMAGE_SETTINGS_SWITCH_ON,
    PELK_IMAGE_SETTINGS_BOTTOM_BAR,
    PELK_IMAGE_SERVER_FOREGROUND_UPGRADE,
    PELK_IMAGE_COUNT
};

// The shared picture of that slot; NULL before pelk_resource_manager_init.
// Owned here for the whole run: draw it, never release it.
GtkImage *pelk_resource_manager_image(pelk_resource_image which);
