// pelk_helper_client_*: the window process's end of the socket to the root helper.
#pragma once

#include "vpn/helper_protocol.h"

#include <string>
#include <vector>

// The window process runs no OpenVPN and touches no root file itself: it
// asks veltra-helper, which start-up runs before the window drops to its
// user. Requests go one at a time, from any thread; each waits for its
// reply. What the helper logs lands in this process's developer log, and
// OpenVPN's output goes to the child's readers (vpn/vpn_process.h).

// Starts the helper program at helper_path (absolute) on one end of a new
// socket pair, with exactly the environment given ("NAME=value"). Call it
// before any other thread exists; a second call while a helper serves does
// nothing. 0 when the helper runs, -1 (with one developer-log line)
// otherwise.
int pelk_helper_client_start(const char *helper_path, const std::vector<std::string> &environment);

// Sends request and waits for its reply: 0 with *result set, or -1 when no
// helper serves (never started, or ended), with one developer-log line.
int pelk_helper_client_request(const pelk_helper_request &request, int *result);

// A request without fields, answered with its result; fallback when no
// helper answers.
int pelk_helper_client_ask(pelk_helper_request_kind kind, int fallback);

// Sets the name servers that connection's tunnel pushed (read by the helper
// from OpenVPN's output) and lets the tunnel through the leak block: 0 when
// done, pelk_helper_result_no_block when the block could not be opened to
// the tunnel, -1 when the name servers could not be set or no helper answers.
int pelk_helper_client_dns_apply(unsigned int connection);
