// pelk_controls_uri_label_*: a link label that opens a web page.

// The link's colours are set through the old per-widget overrides on
// purpose: they reach both the text and the underline.
#define GDK_DISABLE_DEPRECATION_WARNINGS

#include "controls/uri_label.h"

#include "controls/drawing.h"
#include "platform/shell.h"

static gboolean pelk_controls_uri_label_on_clicked(GtkWidget *widget, GdkEvent *event, gpointer uri);

GtkWidget *pelk_controls_uri_label_new(const char *uri, const char *text, int width, int height) {
    GtkWidget *label = gtk_label_new_with_mnemonic(text);
    GtkWidget *box = gtk_event_box_new();

    const GdkColor white = CreateUriLabelForeground();
    gtk_widget_modify_fg(label, GTK_STATE_NORMAL, &white);
    gtk_widget_modify_text(label, GTK_STATE_NORMAL, &white);
    const GdkRGBA foreground = CreateTextViewForegroundRGBA();
    gtk_widget_override_color(label, GTK_STATE_FLAG_NORMAL, &foreground);
    gtk_label_set_use_underline(GTK_LABEL(label), TRUE);

    gtk_widget_set_size_request(label, width, height);
    gtk_widget_set_size_request(box, width, height);
    gtk_container_add(GTK_CONTAINER(box), label);
    g_signal_connect(box, "button_press_event", G_CALLBACK(pelk_controls_uri_label_on_clicked),
                     const_cast<char *>(uri));
    return box;
}

gboolean pelk_controls_uri_label_on_clicked(GtkWidget *, GdkEvent *, gpointer uri) {
    pelk_open_uri(static_cast<const char *>(uri));
    return FALSE;
}
