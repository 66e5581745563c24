// pelk_helper_*: the messages between the window process and the root helper, as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The window process asks the root helper (veltra-helper) for everything
// that needs root: one request at a time over a SOCK_SEQPACKET socket pair,
// one message per request, one reply per request. The helper also sends,
// at any time, lines for the developer log and the pieces of OpenVPN's
// output. Numbers are little-endian; texts are a 16-bit length and bytes.
//
// The window process is only as trusted as the user, and any program of the
// user's session may write to its socket: the helper reads every request as
// hostile. These readers and writers are pure (no I/O, no logging).

enum pelk_helper_request_kind : uint8_t {
    // Write OpenVPN's two files from the fields and start it on them.
    PELK_HELPER_START = 1,
    // Whether the current OpenVPN child runs.
    PELK_HELPER_ALIVE = 2,
    // Take back the tunnel's name servers and end the child (or, with none,
    // any stray OpenVPN of ours).
    PELK_HELPER_STOP = 3,
    // End every stray OpenVPN of ours, by the program's fixed name.
    PELK_HELPER_KILL_STRAY = 4,
    // Delete the files, and take back the name servers, that a client that
    // died left on record.
    PELK_HELPER_CLEAN_UP = 5,
    // Set the name servers the tunnel of a connection pushed, and let its
    // device through the leak block.
    PELK_HELPER_DNS_APPLY = 6,
    // Remove the leak block: the disconnect has ended.
    PELK_HELPER_UNBLOCK = 7,
};

// Limits of the fields; anything beyond is refused, not cut.
constexpr size_t pelk_helper_max_user_name = 512;
constexpr size_t pelk_helper_max_password = 512;
constexpr size_t pelk_helper_max_server_address = 253;
constexpr size_t pelk_helper_max_ports = 256;
constexpr size_t pelk_helper_max_piece = 4096;
constexpr size_t pelk_helper_max_log_text = 16 * 1024;
// No message of either side is longer; a reader takes one byte more to
// notice a longer one.
constexpr size_t pelk_helper_max_message = 8 + pelk_helper_max_log_text;

struct pelk_helper_request {
    pelk_helper_request_kind kind = PELK_HELPER_ALIVE;
    // The connection a START is for (numbered by the window from 1, rising),
    // or whose name servers a DNS_APPLY sets.
    unsigned int connection = 0;
    std::string user_name;
    std::string password;
    std::string server_address;
    std::vector<int32_t> ports;

    pelk_helper_request() = default;
    pelk_helper_request(const pelk_helper_request &) = default;
    pelk_helper_request &operator=(const pelk_helper_request &) = default;
    // The password is wiped before its memory is given back.
    ~pelk_helper_request();
};

// Why a request was refused; 0 for a sound one.
enum pelk_helper_refusal {
    PELK_HELPER_SOUND = 0,
    PELK_HELPER_TRUNCATED,       // a field runs past the message's end
    PELK_HELPER_TRAILING,        // bytes after the last field
    PELK_HELPER_UNKNOWN_KIND,    // not one of the requests above
    PELK_HELPER_BAD_CONNECTION,  // connection 0 where one is needed
    PELK_HELPER_BAD_TEXT,        // too long, empty, or a byte no such field holds
    PELK_HELPER_BAD_ADDRESS,     // outside [A-Za-z0-9.:-], or empty
    PELK_HELPER_BAD_PORTS,       // too many, or outside 1-65535
};

// A fixed text naming the refusal, for the log.
const char *pelk_helper_refusal_text(pelk_helper_refusal refusal);

// The message for a request; the request is checked first, and an unsound
// one gives "" (the window never sends what the helper would refuse).
std::string pelk_helper_request_write(const pelk_helper_request &request);
// Reads one request message whole into *request.
pelk_helper_refusal pelk_helper_request_read(const uint8_t *data, size_t size, pelk_helper_request *request);

// The result of a START or DNS_APPLY whose leak block could not be set.
constexpr int pelk_helper_result_no_block = -2;

// What the helper sends.
enum pelk_helper_message_kind : uint8_t {
    PELK_HELPER_REPLY = 0x81,   // the answer to the request in progress
    PELK_HELPER_LOG = 0x82,     // a text for the developer log
    PELK_HELPER_OUTPUT = 0x83,  // a piece of an OpenVPN child's output; empty: the stream ended
};

enum pelk_helper_stream : uint8_t { PELK_HELPER_STDOUT = 1, PELK_HELPER_STDERR = 2 };

struct pelk_helper_message {
    pelk_helper_message_kind kind = PELK_HELPER_REPLY;
    int32_t result = 0;           // REPLY
    unsigned int connection = 0;  // OUTPUT
    pelk_helper_stream stream = PELK_HELPER_STDOUT;
    std::string bytes;  // LOG text, OUTPUT piece
};

std::string pelk_helper_reply_write(int32_t result);
// A text longer than the limit is cut there.
std::string pelk_helper_log_write(const char *text);
std::string pelk_helper_output_write(unsigned int connection, pelk_helper_stream stream, const char *piece,
                                     size_t length);
// False for a message that is not one of the three, whole.
bool pelk_helper_message_read(const uint8_t *data, size_t size, pelk_helper_message *message);
