// pelk_css_*: the stylesheet of the stock widgets.
#include "controls/css.h"

#include "base/logger.h"

#include <gtk/gtk.h>

namespace {

// Tabs, spaces and the lone line ends are part of the text as it has always
// been shipped; only the rules matter to GTK.
constexpr const char kStylesheet[] =
    "\t.scrollbar { \n"
    "         -GtkScrollbar-has-forward-stepper: false; \n"
    "         -GtkScrollbar-has-backward-stepper: false; \n"
    "     } \n"
    "     GtkLinkButton{ \n"
    "         color: white; \n"
    " \t\tfont: Helvetica 11 bold; \n"
    " \t\tbackground-color: alpha(rgb(128, 10, 54), 0.1); \n"
    "     } \n"
    " \tGtkLabel{ \n"
    " \t\tcolor: white; \n"
    " \t\tfont: Helvetica 11 bold; \n"
    " \t}\n"
    " \tGtkScrollbar { \n"
    "         background: alpha(rgb(128, 10, 54), 0.1); \n"
    " \t} \n"
    " \tGtkScrollbar:hover { \n"
    "         background: alpha(rgb(128, 10, 54), 0.3); \n"
    " \t} \n"
    " \t.foo{\n"
    "         background: alpha(rgb(128, 10, 54), 0.1); \n"
    " \t}\n"
    " \t";

// GTK 3.20 moved from widget type names (GtkLabel) to CSS element names
// (label) and from Pango font strings to CSS fonts, so on the GTK this runs
// on the text above styles nothing: the captions would be the theme's dark
// grey on the dark green window. The same rules, as GTK 3.20 and later read
// them, follow it in the same provider.
constexpr const char kCurrentSyntax[] =
    "scrollbar { -GtkScrollbar-has-forward-stepper: false; -GtkScrollbar-has-backward-stepper: false; }\n"
    "button.link { color: white; font: bold 11pt Helvetica; background-color: alpha(rgb(128, 10, 54), 0.1); }\n"
    "label { color: white; font: bold 11pt Helvetica; }\n"
    "scrollbar { background: alpha(rgb(128, 10, 54), 0.1); }\n"
    "scrollbar:hover { background: alpha(rgb(128, 10, 54), 0.3); }\n";

// The older text's rules that GTK skips are expected: note them in the
// developer log instead of warning on the terminal at every start.
void on_parsing_error(GtkCssProvider *provider, GtkCssSection *section, GError *error, gpointer) {
    g_autofree char *line = g_strdup_printf("css: skipped at %u:%u: %s\n", gtk_css_section_get_start_line(section) + 1,
                                            gtk_css_section_get_start_position(section), error->message);
    pelk_write_dev_log(line);
    g_signal_stop_emission_by_name(provider, "parsing-error");
}

}  // namespace

const char *pelk_css_get(void) { return kStylesheet; }

void pelk_css_setup(void) {
    pelk_write_dev_log("css setup begin");
    GtkCssProvider *provider = gtk_css_provider_new();
    gtk_style_context_add_provider_for_screen(gdk_display_get_default_screen(gdk_display_get_default()),
                                              GTK_STYLE_PROVIDER(provider), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_signal_connect(provider, "parsing-error", G_CALLBACK(on_parsing_error), nullptr);
    // Parse errors of the older text are skipped rule by rule.
    g_autofree char *both = g_strconcat(pelk_css_get(), kCurrentSyntax, nullptr);
    gtk_css_provider_load_from_data(provider, both, -1, nullptr);
    g_object_unref(provider);
    pelk_write_dev_log("css setup done");
}
