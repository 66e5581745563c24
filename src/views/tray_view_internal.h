// pelk_views_tray_view_picture*, pelk_views_tray_view_icon: the tray's pictures, for the tests.
#pragma once

#include "dal/vpn_button_state.h"

#include <gtk/gtk.h>

// The picture slots, in the order they load.
enum pelk_views_tray_picture {
    PELK_TRAY_IDLE,
    PELK_TRAY_CONNECTED,
    PELK_TRAY_BUSY,
    PELK_TRAY_ERROR,
    PELK_TRAY_DISABLED,
    PELK_TRAY_PICTURE_COUNT
};

// The slot that shows state: pure.
pelk_views_tray_picture pelk_views_tray_view_picture_for(pelk_dal_vpn_button_state state);
// The loaded picture of a slot (20 x 20), or NULL; owned by the tray.
GdkPixbuf *pelk_views_tray_view_picture(pelk_views_tray_picture slot);
GtkStatusIcon *pelk_views_tray_view_icon(void);
