// pelk_vpn_subprocess_*: the child's pipes and pid, for the readers and tests.
#pragma once

#include <memory>

// One read end of one child's pipe. A reader thread keeps the pipe of the
// child it was started for, so it can never read the output of a later
// child, and the descriptor stays valid while it is blocked in a read.
struct pelk_vpn_pipe;
using pelk_vpn_pipe_ref = std::shared_ptr<pelk_vpn_pipe>;

// The current child's standard-output or standard-error pipe; empty when no
// child runs.
pelk_vpn_pipe_ref pelk_vpn_subprocess_out_pipe(void);
pelk_vpn_pipe_ref pelk_vpn_subprocess_err_pipe(void);

// New text (free()) with the next piece of that pipe, or nullptr at its end.
char *pelk_vpn_subprocess_internal_read(const pelk_vpn_pipe_ref &pipe);

// The child's process id, or -1 when none runs (tests).
int pelk_vpn_subprocess_pid(void);
