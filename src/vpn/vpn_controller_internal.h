// pelk_vpn_controller_marker_*: OpenVPN's own lines that the watcher acts on, for the tests.
#pragma once

#include <cstddef>

enum pelk_vpn_controller_marker {
    PELK_VPN_CONTROLLER_NO_MARKER = 0,
    PELK_VPN_CONTROLLER_COMPLETED,              // "Initialization Sequence Completed"
    PELK_VPN_CONTROLLER_COMPLETED_WITH_ERRORS,  // "... Completed With Errors"
};

// What one whole line of OpenVPN's standard output (without its line end)
// says. A marker counts only as OpenVPN's own line: the marker alone, or
// after OpenVPN's time stamp ("2026-12-07 14:31:02 " or
// "Mon Dec  7 14:31:02 2026 "); inside any other text (a message a server
// pushed, say) it is no marker.
pelk_vpn_controller_marker pelk_vpn_controller_marker_of_line(const char *line, size_t length);
