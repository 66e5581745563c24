// pelk_gtk_threads_*: the GDK lock wrappers.
#include "vpn/gtk_threads.h"

#include "base/logger.h"

#include <gdk/gdk.h>

void pelk_gtk_threads_enter(void) {
    pelk_write_dev_log("gdk_threads_enter before\n");
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gdk_threads_enter();
    G_GNUC_END_IGNORE_DEPRECATIONS
    pelk_write_dev_log("gdk_threads_enter after\n");
}

void pelk_gtk_threads_leave(void) {
    pelk_write_dev_log("pelk_gtk_threads_leave before\n");
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gdk_threads_leave();
    G_GNUC_END_IGNORE_DEPRECATIONS
    pelk_write_dev_log("pelk_gtk_threads_leave after\n");
}
