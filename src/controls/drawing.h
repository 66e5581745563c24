// Pelk_Cairo_*, Create*, pelk_controls_drawing_*: the palette, pictures and text painting.
#pragma once

#include <gtk/gtk.h>

// The palette, picture painting and the one text style of the custom-drawn
// window. GTK main thread only; the only state is the prepared pictures.

GdkRGBA CreateCommonBackgroundRGBA(void);
GdkRGBA CreateTextViewForegroundRGBA(void);
GdkColor CreateUriLabelForeground(void);

// Paints image's picture with its top-left corner at (x, y): at its natural
// size, or scaled to width x height when both are at least 1. An image
// without a picture paints nothing.
void Pelk_Cairo_DrawImage(cairo_t *cr, GtkImage *image, int x, int y);
void Pelk_Cairo_DrawImage_WithSize(cairo_t *cr, GtkImage *image, int x, int y, int width, int height);

// pixbuf painted with its top-left corner at (x, y), as the two above paint
// an image's picture. The scaled and converted picture is kept as long as
// pixbuf lives, so a picture drawn at every repaint is prepared once.
void pelk_controls_drawing_pixbuf(cairo_t *cr, GdkPixbuf *pixbuf, int x, int y, int width, int height);

// text centred horizontally in the box; its baseline on the box's middle.
void Pelk_Cairo_DrawText_Centered(cairo_t *cr, const char *text, int font_size, int x, int y, int width, int height);
// An entry's text with its baseline at y, from x; once it is wider than the
// box it is pinned to the box's right edge so that its end stays visible.
void Pelk_Cairo_DrawText_For_Entry(cairo_t *cr, const char *text, int font_size, int x, int y, int width);

// Where Pelk_Cairo_DrawText_For_Entry starts a text whose ink is ink_width
// wide and byte_count bytes long.
int pelk_controls_drawing_entry_text_left(double ink_width, size_t byte_count, int x, int width);
