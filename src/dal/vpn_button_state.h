// pelk_dal_vpn_button_state_*: the connection-state flag word and its texts.
#pragma once

#include <cstdint>

// The connection as the user sees it: a word of flags. Apart from the error
// flag exactly one flag is set at a time; 0 occurs only between a reset and
// the next update. The error flag survives every update until a reset.
typedef uint32_t pelk_dal_vpn_button_state;

enum : pelk_dal_vpn_button_state {
    PELK_DAL_VPN_BUTTON_STATE_ENABLED = 1,   // ready: a server is chosen
    PELK_DAL_VPN_BUTTON_STATE_DISABLED = 2,  // no server chosen
    PELK_DAL_VPN_BUTTON_STATE_CONNECTED = 4,
    PELK_DAL_VPN_BUTTON_STATE_CONNECTING = 8,
    PELK_DAL_VPN_BUTTON_STATE_DISCONNECTING = 16,
    PELK_DAL_VPN_BUTTON_STATE_DISCONNECTED = 32,  // after a connection
    PELK_DAL_VPN_BUTTON_STATE_ERROR = 64,         // sticky until a reset
};

// The state an update with value turns old into: value, plus the error
// flag when old carries it. Pure, so a holder of a shared atomic word can
// apply it in a compare-exchange loop.
pelk_dal_vpn_button_state pelk_dal_vpn_button_state_updated(pelk_dal_vpn_button_state old_state,
                                                            pelk_dal_vpn_button_state value);

// *state becomes pelk_dal_vpn_button_state_updated(*state, value). No lock:
// a state shared between threads must use the pure form above.
void pelk_dal_vpn_button_state_update(pelk_dal_vpn_button_state *state, pelk_dal_vpn_button_state value);

// *state becomes 0, which also clears the error flag.
void pelk_dal_vpn_button_state_reset(pelk_dal_vpn_button_state *state);
// Clears the error flag and nothing else. No flow calls it: a new connect or
// a server choice resets the whole word.
void pelk_dal_vpn_button_state_reset_error_flag(pelk_dal_vpn_button_state *state);

// Each gives state masked with its flag: non-zero exactly when it is set.
int pelk_dal_vpn_button_state_is_enabled(pelk_dal_vpn_button_state state);
int pelk_dal_vpn_button_state_is_disabled(pelk_dal_vpn_button_state state);
int pelk_dal_vpn_button_state_is_connected(pelk_dal_vpn_button_state state);
int pelk_dal_vpn_button_state_is_connecting(pelk_dal_vpn_button_state state);
int pelk_dal_vpn_button_state_is_disconnecting(pelk_dal_vpn_button_state state);
int pelk_dal_vpn_button_state_is_disconnected(pelk_dal_vpn_button_state state);
int pelk_dal_vpn_button_state_is_error(pelk_dal_vpn_button_state state);

// The status line for state (a constant text, not to be released), or NULL
// when no flag it knows is set.
const char *pelk_dal_vpn_button_state_to_string(pelk_dal_vpn_button_state state);
