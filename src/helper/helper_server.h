// pelk_helper_server_*: the root helper's requests, read off its socket and carried out one at a time.
#pragma once

#include "vpn/helper_protocol.h"

// Serves the window process on socket (one end of a SOCK_SEQPACKET pair)
// until it closes: every request is read as hostile, carried out, and
// answered with one reply; developer-log texts and OpenVPN's output go to
// the window as they come. A running OpenVPN is left running when the
// socket closes: the next start ends it. Returns 0.
int pelk_helper_server_run(int socket);

// Carries out one request that has been read and found sound; the reply's
// result. START: the child's pid, or -1; ALIVE: 1 or 0; DNS_APPLY: 0 or
// -1; the others 0. The leak block is set by START, opened to the tunnel by
// DNS_APPLY and removed by UNBLOCK (and by the clean-up after a dead run).
int pelk_helper_server_handle(const pelk_helper_request &request);

// What the package's removal needs: ends a running OpenVPN of the client,
// takes back the name servers and deletes the files a run left on record.
void pelk_helper_server_clean_up_all(void);

// Tests only (a direct start's VELTRA_LEAK_BLOCK_OMIT): "ipv4" or "ipv6"
// leaves that family's final drop out of the leak block, "all" the block.
void pelk_helper_server_leak_block_omits(const char *rules);
