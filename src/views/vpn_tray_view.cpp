#include "views/vpn_tray_view.h"

#include "views/vpn_tray_view_internal.h"

#include <mutex>

namespace {

std::mutex delivered_lock;
std::vector<pelk_dal_vpn_button_state> delivered;

}  // namespace

void pelk_views_vpn_tray_view_set_state(pelk_dal_vpn_button_state state) {
    std::lock_guard<std::mutex> guard(delivered_lock);
    delivered.push_back(state);
}

std::vector<pelk_dal_vpn_button_state> pelk_views_vpn_tray_view_delivered(void) {
    std::lock_guard<std::mutex> guard(delivered_lock);
    return delivered;
}

void pelk_views_vpn_tray_view_forget(void) {
    std::lock_guard<std::mutex> guard(delivered_lock);
    delivered.clear();
}
