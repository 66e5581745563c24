// pelk_vpn_controller_*: the watchers started and stopped, and OpenVPN's output turned into events.
#include "vpn/vpn_controller.h"

#include "vpn/vpn_controller_internal.h"

#include "base/logger.h"
#include "base/ui_callbacks.h"
#include "vpn/dns_options.h"
#include "vpn/helper_client.h"
#include "vpn/vpn_worker_threads.h"

#include <cstring>

namespace {

constexpr char kCompleted[] = "Initialization Sequence Completed";
constexpr char kWithErrors[] = "Initialization Sequence Completed With Errors";

bool is_digits(const char *text, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

// "2026-12-07 14:31:02 " (OpenVPN 2.5 and later)
bool is_iso_stamp(const char *text, size_t length) {
    return length == 20 && is_digits(text, 4) && text[4] == '-' && is_digits(text + 5, 2) && text[7] == '-' &&
           is_digits(text + 8, 2) && text[10] == ' ' && is_digits(text + 11, 2) && text[13] == ':' &&
           is_digits(text + 14, 2) && text[16] == ':' && is_digits(text + 17, 2) && text[19] == ' ';
}

// "Mon Dec  7 14:31:02 2026 " (older ones)
bool is_ctime_stamp(const char *text, size_t length) {
    if (length != 25 || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' || text[19] != ' ' || text[24] != ' ') {
        return false;
    }
    for (size_t i : {0, 1, 2, 4, 5, 6}) {
        if (!((text[i] >= 'A' && text[i] <= 'Z') || (text[i] >= 'a' && text[i] <= 'z'))) {
            return false;
        }
    }
    return (text[8] == ' ' || is_digits(text + 8, 1)) && is_digits(text + 9, 1) && is_digits(text + 11, 2) &&
           text[13] == ':' && is_digits(text + 14, 2) && text[16] == ':' && is_digits(text + 17, 2) &&
           is_digits(text + 20, 4);
}

// Whether the line is text alone, or text after OpenVPN's time stamp.
bool is_own_line(const char *line, size_t length, const char *text, size_t text_length) {
    if (length < text_length || memcmp(line + length - text_length, text, text_length) != 0) {
        return false;
    }
    const size_t prefix = length - text_length;
    return prefix == 0 || is_iso_stamp(line, prefix) || is_ctime_stamp(line, prefix);
}

void on_line(void *context, const char *line, size_t length) {
    const unsigned int connection = *static_cast<const unsigned int *>(context);
    switch (pelk_vpn_controller_marker_of_line(line, length)) {
    case PELK_VPN_CONTROLLER_COMPLETED_WITH_ERRORS:
        pelk_write_dev_log("vpn_controller: OpenVPN reported errors\n");
        pelk_ui_report_vpn_error();
        break;
    case PELK_VPN_CONTROLLER_COMPLETED:
        // The tunnel counts as up only with its name servers set and the
        // leak block opened to its device: without them traffic would leave
        // outside it while the window says the connection is secure. The
        // helper has read what it needs from this line and the ones before.
        if (const int applied = pelk_helper_client_dns_apply(connection); applied != 0) {
            pelk_write_out_log_reason(applied == pelk_helper_result_no_block
                                          ? "the leak block could not be opened to the tunnel; the connection was "
                                            "ended."
                                          : "the name servers the VPN server pushed could not be set; the "
                                            "connection was ended so that no name lookup leaves outside the tunnel.");
            pelk_ui_report_vpn_error();
        } else {
            pelk_ui_report_vpn_started();
        }
        break;
    case PELK_VPN_CONTROLLER_NO_MARKER:
        break;
    }
}

}  // namespace

pelk_vpn_controller_marker pelk_vpn_controller_marker_of_line(const char *line, size_t length) {
    if (line == nullptr) {
        return PELK_VPN_CONTROLLER_NO_MARKER;
    }
    if (is_own_line(line, length, kWithErrors, sizeof kWithErrors - 1)) {
        return PELK_VPN_CONTROLLER_COMPLETED_WITH_ERRORS;
    }
    if (is_own_line(line, length, kCompleted, sizeof kCompleted - 1)) {
        return PELK_VPN_CONTROLLER_COMPLETED;
    }
    return PELK_VPN_CONTROLLER_NO_MARKER;
}

void pelk_vpn_controller_on_vpn_started(void) {
    vpn_process_state_thread_start();
    vpn_std_out_thread_start();
    vpn_std_err_thread_start();
}

void pelk_vpn_controller_on_vpn_stoped(void) {
    vpn_process_state_thread_exit();
    vpn_std_out_thread_exit();
    vpn_std_err_thread_exit();
}

void pelk_vpn_controller_on_process_std_out_update(const char *piece) {
    // One reader per child: its lines are gathered on its own thread, so a
    // marker split across two pieces is still seen whole, and a piece of a
    // later child never completes a line of an earlier one.
    thread_local pelk_vpn_dns_lines lines;
    thread_local unsigned int lines_of = 0;
    const unsigned int connection = vpn_std_out_thread_connection();
    if (connection != lines_of) {
        lines = pelk_vpn_dns_lines{};
        lines_of = connection;
    }
    unsigned int context = connection;
    pelk_vpn_dns_lines_feed(&lines, piece, strlen(piece), on_line, &context);
}

void pelk_vpn_controller_on_process_std_err_update(const char *piece) { (void)piece; }
