// The baselines the client's window is measured against: the least a GTK 3
// program does to show a window of the client's size and place, painted with
// cairo (a background and one line of text in the client's face). With
// --repaint-ms=N it repaints itself every N ms, as the client's main screen
// does.
//
// Built a second time with BARE_WINDOW_HTTPS: the same window linking
// libcurl, which with --https=URL --cacert=FILE makes one HTTPS request once
// drawn and prints "request: HTTP <code>" when it is over. What any client of
// an HTTPS service loads and does, and nothing of ours.
#include <gtk/gtk.h>

#ifdef BARE_WINDOW_HTTPS
#include <curl/curl.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kWidth = 421;
constexpr int kHeight = 394;
constexpr int kX = 200;
constexpr int kY = 200;

std::string https_url;
std::string ca_file;

#ifdef BARE_WINDOW_HTTPS
bool requested = false;

size_t discard(char *, size_t size, size_t count, void *) { return size * count; }

gboolean request(gpointer) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL *curl = curl_easy_init();
    long code = 0;
    if (curl != nullptr) {
        curl_easy_setopt(curl, CURLOPT_URL, https_url.c_str());
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
        if (curl_easy_perform(curl) == CURLE_OK) {
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        }
        curl_easy_cleanup(curl);
    }
    printf("request: HTTP %ld\n", code);
    fflush(stdout);
    return G_SOURCE_REMOVE;
}
#endif

gboolean draw(GtkWidget *, cairo_t *cr, gpointer) {
    cairo_set_source_rgb(cr, 8 / 255.0, 122 / 255.0, 73 / 255.0);
    cairo_paint(cr);
    cairo_select_font_face(cr, "Purisa", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 14);
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    cairo_move_to(cr, 24, 200);
    cairo_show_text(cr, "A bare GTK window: background and text");
#ifdef BARE_WINDOW_HTTPS
    // After this frame is out, on the main thread, as the client's own
    // requests are made.
    if (!requested && !https_url.empty()) {
        requested = true;
        g_idle_add(request, nullptr);
    }
#endif
    return TRUE;
}

gboolean repaint(gpointer area) {
    gtk_widget_queue_draw(GTK_WIDGET(area));
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char **argv) {
    gtk_init(&argc, &argv);
    int repaint_ms = 0;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--repaint-ms=", 13) == 0) {
            repaint_ms = atoi(argv[i] + 13);
        } else if (strncmp(argv[i], "--https=", 8) == 0) {
            https_url = argv[i] + 8;
        } else if (strncmp(argv[i], "--cacert=", 9) == 0) {
            ca_file = argv[i] + 9;
        }
    }
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "bare");
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_widget_set_size_request(window, kWidth, kHeight);
    GtkWidget *area = gtk_drawing_area_new();
    g_signal_connect(area, "draw", G_CALLBACK(draw), nullptr);
    gtk_container_add(GTK_CONTAINER(window), area);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_window_move(GTK_WINDOW(window), kX, kY);
    gtk_widget_show_all(window);
    if (repaint_ms > 0) {
        g_timeout_add(guint(repaint_ms), repaint, area);
    }
    gtk_main();
    return 0;
}
