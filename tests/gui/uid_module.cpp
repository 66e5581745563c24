// A GTK module that notes who loaded it: appends "<pid> <uid>" to the file
// VELTRA_MODULE_RECORD. It stands for what any client of the display could
// make a GTK program load through the XSETTINGS setting Gtk/Modules.
#include <unistd.h>
#include <cstdio>

extern "C" __attribute__((visibility("default"))) void gtk_module_init(int *, char ***) {
    if (FILE *record = std::fopen(VELTRA_MODULE_RECORD, "a")) {
        std::fprintf(record, "%d %u\n", static_cast<int>(getpid()), static_cast<unsigned>(getuid()));
        std::fclose(record);
    }
}
