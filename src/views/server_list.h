// pelk_controls_server_button_*, pelk_controls_server_list_*: the server rows and their list.
#pragma once

#include "dal/server_entity.h"

#include <gtk/gtk.h>

// A row for one VPN server (flag, name, star) and the scrollable column of
// them. The rows refer to the main view model's records; the list stays the
// view model's. GTK main thread only.

int pelk_controls_server_button_width_get(void);
int pelk_controls_server_button_height_get(void);
// A row that chooses and stars server.
GtkWidget *pelk_controls_server_button_new(pelk_dal_server_entity *server);
// A row that only shows text (kept by the caller for the row's life).
GtkWidget *pelk_controls_server_button_new_just_label(const char *text);

// The one list control of the process; a new one replaces the last.
GtkWidget *pelk_controls_server_list_new(server_entity_container *servers);
// Whether the list control exists and its own visible flag is set.
bool pelk_controls_server_list_is_shown(void);
