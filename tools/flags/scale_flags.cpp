// Makes the client's country flags: every two-letter flag of a folder of
// large pictures, scaled once to the size the window draws them at, so that
// the window never decodes a large picture while it repaints.
//
//   veltra-scale-flags <source folder> <target folder> <size>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// "de.png", not "_basque.png": the window looks flags up by country code.
bool is_country_flag(const char *name) {
    return g_ascii_islower(name[0]) && g_ascii_islower(name[1]) && g_strcmp0(name + 2, ".png") == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s SOURCE TARGET SIZE\n", argv[0]);
        return 2;
    }
    const int size = atoi(argv[3]);
    if (size < 1 || size > 512) {
        fprintf(stderr, "%s: size must be 1 to 512\n", argv[0]);
        return 2;
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDir) source = g_dir_open(argv[1], 0, &error);
    if (source == nullptr || g_mkdir_with_parents(argv[2], 0755) != 0) {
        fprintf(stderr, "%s: %s\n", argv[0], error != nullptr ? error->message : argv[2]);
        return 1;
    }
    int made = 0;
    while (const char *name = g_dir_read_name(source)) {
        if (!is_country_flag(name)) {
            continue;
        }
        const std::string from = std::string(argv[1]) + "/" + name;
        const std::string to = std::string(argv[2]) + "/" + name;
        g_autoptr(GdkPixbuf) large = gdk_pixbuf_new_from_file(from.c_str(), &error);
        g_autoptr(GdkPixbuf) small =
            large != nullptr ? gdk_pixbuf_scale_simple(large, size, size, GDK_INTERP_HYPER) : nullptr;
        if (small == nullptr || !gdk_pixbuf_save(small, to.c_str(), "png", &error, nullptr)) {
            fprintf(stderr, "%s: %s: %s\n", argv[0], name, error != nullptr ? error->message : "cannot scale");
            return 1;
        }
        ++made;
    }
    printf("%d flags at %dx%d in %s\n", made, size, size, argv[2]);
    return made > 0 ? 0 : 1;
}
