// pelk_shell_execute*, pelk_shell_open_text_file, pelk_open_uri: opening pages and files.
#pragma once

// Desktop shell services. All of them run on the GTK main thread.

// With parameters, runs file as a program with them; without, opens file
// (a URI, or a path) with the desktop's default handler. show_mode is the
// window state asked for; Linux desktops offer no equivalent, so it is only
// carried. Failures are not reported beyond the "Shell execute" trace line.
void pelk_shell_execute_internal(const char *file, const char *parameters, int show_mode);

// pelk_shell_execute_internal with show mode 0 (hidden).
void pelk_shell_execute(const char *file, const char *parameters);

// Opens a text file with the desktop's default handler for it.
void pelk_shell_open_text_file(const char *path);

// Opens uri with the desktop's default handler. Always 1: the link counts as
// handled whether or not a handler could be started.
int pelk_open_uri(const char *uri);
