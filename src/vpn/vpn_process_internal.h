// pelk_vpn_subprocess_*: the child's output streams, for the readers, the helper client and tests.
#pragma once

#include <memory>
#include <string>

// One output stream of one child, as the helper forwards it. A reader thread
// keeps the stream of the child it was started for, so it can never read the
// output of a later child, and the stream stays valid while it waits.
struct pelk_vpn_pipe;
using pelk_vpn_pipe_ref = std::shared_ptr<pelk_vpn_pipe>;

// The current child's standard-output or standard-error stream; empty when
// no child runs.
pelk_vpn_pipe_ref pelk_vpn_subprocess_out_pipe(void);
pelk_vpn_pipe_ref pelk_vpn_subprocess_err_pipe(void);

// New text (free()) with the next piece of that stream, or nullptr at its
// end. Blocks until a piece arrives.
char *pelk_vpn_subprocess_internal_read(const pelk_vpn_pipe_ref &pipe);

// The child's process id, or -1 when none runs (tests).
int pelk_vpn_subprocess_pid(void);

// Helper client's receiver: a piece of connection's output (standard error
// when is_err); an empty piece ends that stream. Pieces of a connection
// whose streams are no longer open are dropped.
void pelk_vpn_subprocess_internal_deliver(unsigned int connection, bool is_err, const std::string &piece);
// The helper has ended: every open stream ends with it.
void pelk_vpn_subprocess_internal_end_all(void);
