// pelk_shell_elevation_decide: the hand-over decision as a pure function.
#pragma once

#include <string>
#include <vector>

// The decision as a pure function of two integrity answers (1, 0, -1). The
// current process being high or undetermined needs no hand-over; otherwise a
// linked identity of at most medium integrity is the only thing that keeps
// this instance. Linux has no linked token: callers pass -1.
int pelk_shell_elevation_decide(int current_integrity, int linked_integrity);

// The argument vector of the hand-over: launcher and the absolute program
// path, nothing else. No argument or variable of this instance is passed on:
// the elevated instance learns who asked from pkexec (PKEXEC_UID).
std::vector<std::string> pelk_shell_elevation_argv(const char *launcher, const char *program_path);
