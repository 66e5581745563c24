// pelk_platform_session_internal_reset: the session's test hook.
#pragma once

// Forgets what pelk_platform_session_init settled, so a test can settle it
// again.
void pelk_platform_session_internal_reset(void);
