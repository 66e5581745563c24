// is_high_inregrity, pelk_shell_is_need_elevation, pelk_shell_elevate: the hand-over to pkexec.
#pragma once

// Integrity of a process, read from its /proc status file (a "token"):
// 1 high (effective user is root), 0 not high, -1 undetermined (the file or
// its Uid line cannot be read). Callers count any non-zero answer as true.
int is_high_inregrity(const char *status_path);

// Non-zero when this instance must hand over to an elevated one. Set
// VELTRA_NO_ELEVATION=1 to never hand over (development, tests).
int pelk_shell_is_need_elevation(void);

// Starts this program again with administrator rights through pkexec, waits
// until that instance has ended (or failed to start), then prints "resss".
void pelk_shell_elevate(int argc, char **argv);
