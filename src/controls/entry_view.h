// Pelk_CreateEntryView: the custom-drawn text entry.
#pragma once

#include <gtk/gtk.h>

// A stock GtkEntry whose look is replaced: a background picture, the text
// in the window's text style, "*" for each character of a password, and a
// caret after the last character that blinks as often as the owner
// redraws it. Typing and the keyboard keep their stock behaviour.

// A new entry on buffer, 233 x 40, at most 100 characters; is_password 1
// masks the text.
GtkWidget *Pelk_CreateEntryView(GtkEntryBuffer *buffer, int is_password);
