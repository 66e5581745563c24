// pelk_dal_vpn_button_state_*: the connection-state flag word and its texts.
#include "dal/vpn_button_state.h"

namespace {

int masked(pelk_dal_vpn_button_state state, pelk_dal_vpn_button_state flag) { return static_cast<int>(state & flag); }

struct StatusRule {
    pelk_dal_vpn_button_state flag;
    const char *text;
};

// First match wins. The two lists test 16 and 32 in opposite orders, which
// only tells for a word holding both.
constexpr StatusRule kPlainRules[] = {
    {PELK_DAL_VPN_BUTTON_STATE_DISCONNECTED, "Disconnected!"},
    {PELK_DAL_VPN_BUTTON_STATE_DISCONNECTING, "Disconnecting..."},
    {PELK_DAL_VPN_BUTTON_STATE_CONNECTED, "Connected! Your Internet is now secure."},
    {PELK_DAL_VPN_BUTTON_STATE_CONNECTING, "Connecting..."},
    {PELK_DAL_VPN_BUTTON_STATE_DISABLED, "Select server..."},
    {PELK_DAL_VPN_BUTTON_STATE_ENABLED, "Ready!"},
};

constexpr StatusRule kErrorRules[] = {
    {PELK_DAL_VPN_BUTTON_STATE_DISCONNECTING, "Error! Disconnecting..."},
    {PELK_DAL_VPN_BUTTON_STATE_DISCONNECTED, "Error! Disconnected!"},
};

}  // namespace

pelk_dal_vpn_button_state pelk_dal_vpn_button_state_updated(pelk_dal_vpn_button_state old_state,
                                                            pelk_dal_vpn_button_state value) {
    return value | (old_state & PELK_DAL_VPN_BUTTON_STATE_ERROR);
}

void pelk_dal_vpn_button_state_update(pelk_dal_vpn_button_state *state, pelk_dal_vpn_button_state value) {
    if (state != nullptr) {
        *state = pelk_dal_vpn_button_state_updated(*state, value);
    }
}

void pelk_dal_vpn_button_state_reset(pelk_dal_vpn_button_state *state) {
    if (state != nullptr) {
        *state = 0;
    }
}

void pelk_dal_vpn_button_state_reset_error_flag(pelk_dal_vpn_button_state *state) {
    if (state != nullptr) {
        *state &= ~static_cast<pelk_dal_vpn_button_state>(PELK_DAL_VPN_BUTTON_STATE_ERROR);
    }
}

int pelk_dal_vpn_button_state_is_enabled(pelk_dal_vpn_button_state state) {
    return masked(state, PELK_DAL_VPN_BUTTON_STATE_ENABLED);
}

int pelk_dal_vpn_button_state_is_disabled(pelk_dal_vpn_button_state state) {
    return masked(state, PELK_DAL_VPN_BUTTON_STATE_DISABLED);
}

int pelk_dal_vpn_button_state_is_connected(pelk_dal_vpn_button_state state) {
    return masked(state, PELK_DAL_VPN_BUTTON_STATE_CONNECTED);
}

int pelk_dal_vpn_button_state_is_connecting(pelk_dal_vpn_button_state state) {
    return masked(state, PELK_DAL_VPN_BUTTON_STATE_CONNECTING);
}

int pelk_dal_vpn_button_state_is_disconnecting(pelk_dal_vpn_button_state state) {
    return masked(state, PELK_DAL_VPN_BUTTON_STATE_DISCONNECTING);
}

int pelk_dal_vpn_button_state_is_disconnected(pelk_dal_vpn_button_state state) {
    return masked(state, PELK_DAL_VPN_BUTTON_STATE_DISCONNECTED);
}

int pelk_dal_vpn_button_state_is_error(pelk_dal_vpn_button_state state) {
    return masked(state, PELK_DAL_VPN_BUTTON_STATE_ERROR);
}

const char *pelk_dal_vpn_button_state_to_string(pelk_dal_vpn_button_state state) {
    if (pelk_dal_vpn_button_state_is_error(state) != 0) {
        for (const StatusRule &rule : kErrorRules) {
            if ((state & rule.flag) != 0) {
                return rule.text;
            }
        }
        return "Error!";
    }
    for (const StatusRule &rule : kPlainRules) {
        if ((state & rule.flag) != 0) {
            return rule.text;
        }
    }
    return nullptr;
}
