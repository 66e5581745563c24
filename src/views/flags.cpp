// pelk_views_flags_picture: the country flag pictures, decoded once.
#include "views/flags.h"

#include <map>
#include <memory>
#include <string>

namespace {

struct PixbufUnref {
    void operator()(GdkPixbuf *pixbuf) const { g_object_unref(pixbuf); }
};

// A few hundred countries at most; a missing file is remembered as NULL.
std::map<std::string, std::unique_ptr<GdkPixbuf, PixbufUnref>> cache;

}  // namespace

GdkPixbuf *pelk_views_flags_picture(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return nullptr;
    }
    auto found = cache.find(path);
    if (found == cache.end()) {
        found = cache.emplace(path, gdk_pixbuf_new_from_file(path, nullptr)).first;
    }
    return found->second.get();
}
