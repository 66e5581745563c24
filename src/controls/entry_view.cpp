// Pelk_CreateEntryView: the custom-drawn text entry.
#include "controls/entry_view.h"

#include "base/clock.h"
#include "controls/drawing.h"
#include "resources/resource_manager.h"

#include <string>

static gboolean OnDraw(GtkWidget *widget, cairo_t *cr, gpointer entry);
static gboolean entry_view_on_clicked(GtkWidget *widget, GdkEventButton *event, gpointer entry);

namespace {

constexpr int kWidth = 233;
constexpr int kHeight = 40;
constexpr int kMaxLength = 100;
constexpr int kFontSize = 14;
constexpr int kTextX = 5;
constexpr int kTextWidth = 225;
constexpr int kBaseline = kFontSize + 8;

}  // namespace

GtkWidget *Pelk_CreateEntryView(GtkEntryBuffer *buffer, int is_password) {
    GtkWidget *entry = gtk_entry_new_with_buffer(buffer);
    gtk_entry_set_alignment(GTK_ENTRY(entry), 0.0f);
    gtk_entry_set_max_length(GTK_ENTRY(entry), kMaxLength);
    gtk_entry_set_has_frame(GTK_ENTRY(entry), TRUE);
    g_signal_connect(entry, "draw", G_CALLBACK(OnDraw), entry);
    g_signal_connect(entry, "button-press-event", G_CALLBACK(entry_view_on_clicked), entry);
    if (is_password == 1) {
        gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
        gtk_entry_set_invisible_char(GTK_ENTRY(entry), '*');
    }
    gtk_widget_set_size_request(entry, kWidth, kHeight);
    return entry;
}

gboolean OnDraw(GtkWidget *, cairo_t *cr, gpointer data) {
    GtkEntry *entry = GTK_ENTRY(data);
    const bool focused = gtk_widget_is_focus(GTK_WIDGET(entry));
    Pelk_Cairo_DrawImage(cr,
                         pelk_resource_manager_image(focused ? PELK_IMAGE_TEXT_VIEW_BACKGROUND_FOCUSED
                                                             : PELK_IMAGE_TEXT_VIEW_BACKGROUND),
                         0, 0);
    if (gtk_entry_get_visibility(entry)) {
        Pelk_Cairo_DrawText_For_Entry(cr, gtk_entry_get_text(entry), kFontSize, kTextX, kBaseline, kTextWidth);
    } else {
        const std::string stars(gtk_entry_get_text_length(entry), '*');
        Pelk_Cairo_DrawText_For_Entry(cr, stars.c_str(), kFontSize, kTextX, kBaseline, kTextWidth);
    }
    if (focused && pelk_platform_specific_get_system_time_seconds() % 2 == 0) {
        cairo_show_text(cr, "I");
    }
    return TRUE;
}

gboolean entry_view_on_clicked(GtkWidget *, GdkEventButton *event, gpointer entry) {
    if (event->button == 1) {
        gtk_widget_grab_focus(GTK_WIDGET(entry));
    }
    // The stock press handling (cursor placement, selection, the context
    // menu) would act on text the user does not see where GTK thinks it is.
    return TRUE;
}
