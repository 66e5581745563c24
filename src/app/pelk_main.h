// pelk_main: start-up, the hand-over to an elevated instance, and the wiring of the window layer.
#pragma once

// The whole run of the client: hand over to an elevated instance, or start
// GTK, the folders and logs, and run the main loop. Returns 0, or 1 when an
// elevated instance refuses to serve the user that pkexec named.
int pelk_main(int argc, char **argv);
