// pelk_views_flags_picture: the country flag pictures, decoded once.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

// Country flags, read from "flags/<code>.png" in the app folder (made small
// at build time) once each and kept for the run, so the ten redraws a second
// of the main screen never touch the disk. GTK main thread only.

// The picture at path, or NULL when it cannot be read (then never tried
// again). Owned by the cache.
GdkPixbuf *pelk_views_flags_picture(const char *path);
