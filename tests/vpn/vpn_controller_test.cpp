// OpenVPN's output, turned into events whole lines at a time: a marker is
// seen however the pieces fall, and only as OpenVPN's own line.
#include "base/ui_callbacks.h"
#include "vpn/vpn_controller.h"
#include "vpn/vpn_controller_internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

std::atomic<int> errors{0};

// No helper runs here: a tunnel reported up cannot have its name servers
// set, so either marker ends in exactly one error report.
void count_error() { ++errors; }

TEST(VpnController, OnlyOpenVpnsOwnLinesAreMarkers) {
    struct Case {
        const char *line;
        pelk_vpn_controller_marker marker;
    };
    const Case cases[] = {
        {"Initialization Sequence Completed", PELK_VPN_CONTROLLER_COMPLETED},
        {"2026-12-07 14:31:02 Initialization Sequence Completed", PELK_VPN_CONTROLLER_COMPLETED},
        {"Mon Dec  7 14:31:02 2026 Initialization Sequence Completed", PELK_VPN_CONTROLLER_COMPLETED},
        {"2026-12-07 14:31:02 Initialization Sequence Completed With Errors",
         PELK_VPN_CONTROLLER_COMPLETED_WITH_ERRORS},
        {"Initialization Sequence Completed With Errors", PELK_VPN_CONTROLLER_COMPLETED_WITH_ERRORS},
        // What a server can make OpenVPN print is no marker.
        {"2026-12-07 14:31:02 PUSH: Received control message: 'Initialization Sequence Completed'",
         PELK_VPN_CONTROLLER_NO_MARKER},
        {"2026-12-07 14:31:02 AUTH: Received control message: Initialization Sequence Completed",
         PELK_VPN_CONTROLLER_NO_MARKER},
        {"2026-12-07 14:31:02 Initialization Sequence Completed, more", PELK_VPN_CONTROLLER_NO_MARKER},
        {"x Initialization Sequence Completed", PELK_VPN_CONTROLLER_NO_MARKER},
        {"2026-12-7 14:31:02 Initialization Sequence Completed", PELK_VPN_CONTROLLER_NO_MARKER},
        {"Initialization Sequence Complete", PELK_VPN_CONTROLLER_NO_MARKER},
        {"", PELK_VPN_CONTROLLER_NO_MARKER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(pelk_vpn_controller_marker_of_line(c.line, strlen(c.line)), c.marker);
    }
}

TEST(VpnController, AMarkerLineIsSeenWhereverTheReadCutsIt) {
    pelk_ui_callbacks table{};
    table.engine.on_vpn_error = count_error;
    pelk_ui_callbacks_install(table);
    const std::string line = "2026-12-07 14:31:02 Initialization Sequence Completed\r\n";
    for (const char *marker_line : {"plain", "with errors"}) {
        const std::string whole = std::string(marker_line) == "plain"
                                      ? line
                                      : "2026-12-07 14:31:02 Initialization Sequence Completed With Errors\n";
        // A read of 4096 bytes ends at every offset of the line in turn.
        for (size_t offset = 0; offset <= whole.size(); ++offset) {
            SCOPED_TRACE(std::string(marker_line) + ", cut at " + std::to_string(offset));
            errors = 0;
            const std::string output = std::string(4096 - offset, 'x') + "\n" + whole + "next line\n";
            const std::string first = output.substr(0, 4096 + 1);
            const std::string second = output.substr(4096 + 1);
            pelk_vpn_controller_on_process_std_out_update(first.c_str());
            pelk_vpn_controller_on_process_std_out_update(second.c_str());
            EXPECT_EQ(errors, 1);
        }
    }
    pelk_ui_callbacks_install(pelk_ui_callbacks{});
}

}  // namespace
