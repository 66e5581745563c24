// pelk_controls_uri_label_*: a link label that opens a web page.
#pragma once

#include <gtk/gtk.h>

// White link text that opens a web page when clicked. uri is held, not
// copied: pass a text that lives as long as the program.
GtkWidget *pelk_controls_uri_label_new(const char *uri, const char *text, int width, int height);
