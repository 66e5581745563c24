#pragma once

#include <string>
#include <vector>

// The decision as a pure function of two integrity answers (1, 0, -1). The
// current process being high or undetermined needs no hand-over; otherwise a
// linked identity of at most medium integrity is the only thing that keeps
// this instance. Linux has no linked token: callers pass -1.
int pelk_shell_elevation_decide(int current_integrity, int linked_integrity);

// The argument vector of the hand-over: launcher, "env", the desktop session
// variables the elevated instance needs to reach the user's display and
// settings, then the absolute program path. No argument of this instance is
// passed on.
std::vector<std::string> pelk_shell_elevation_argv(const char *launcher, const char *program_path);
