// pelk_platform_session_internal_*: the session's test hooks.
#pragma once

#include <sys/types.h>

// For tests running as root: act for uid as an elevated instance would
// (files with its identity, pages opened as it), without touching the
// environment; and back.
void pelk_platform_session_internal_act_for(uid_t uid);
void pelk_platform_session_internal_reset(void);
