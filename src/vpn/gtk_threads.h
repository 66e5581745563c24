// pelk_gtk_threads_*: the GDK lock wrappers.
#pragma once

// The GDK lock, for code off the main thread that must touch GTK. Nothing
// in the client uses them: workers post to the main loop instead.
void pelk_gtk_threads_enter(void);
void pelk_gtk_threads_leave(void);
