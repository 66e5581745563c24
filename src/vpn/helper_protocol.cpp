// pelk_helper_*: the messages between the window process and the root helper, as bytes.
#include "vpn/helper_protocol.h"

#include "vpn/config_generator.h"

#include <cstring>

pelk_helper_request::~pelk_helper_request() {
    if (!password.empty()) {
        explicit_bzero(password.data(), password.size());
    }
}

namespace {

void put_u32(std::string *out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out->push_back(static_cast<char>((value >> shift) & 0xff));
    }
}

void put_text(std::string *out, const std::string &text) {
    out->push_back(static_cast<char>(text.size() & 0xff));
    out->push_back(static_cast<char>((text.size() >> 8) & 0xff));
    out->append(text);
}

// Reads fields off a message front to back; any read past the end marks it
// short, and every later read then fails too.
class Cursor {
  public:
    Cursor(const uint8_t *data, size_t size) : data_(data), left_(size) {}

    bool u8(uint8_t *value) {
        if (!take(1)) {
            return false;
        }
        *value = data_[-1];
        return true;
    }
    bool u16(uint16_t *value) {
        if (!take(2)) {
            return false;
        }
        *value = static_cast<uint16_t>(data_[-2] | (data_[-1] << 8));
        return true;
    }
    bool u32(uint32_t *value) {
        if (!take(4)) {
            return false;
        }
        *value = static_cast<uint32_t>(data_[-4]) | static_cast<uint32_t>(data_[-3]) << 8 |
                 static_cast<uint32_t>(data_[-2]) << 16 | static_cast<uint32_t>(data_[-1]) << 24;
        return true;
    }
    bool text(std::string *value) {
        uint16_t length = 0;
        if (!u16(&length) || !take(length)) {
            return false;
        }
        value->assign(reinterpret_cast<const char *>(data_ - length), length);
        return true;
    }
    // The rest of the message.
    std::string rest() {
        std::string value(reinterpret_cast<const char *>(data_), left_);
        data_ += left_;
        left_ = 0;
        return value;
    }
    bool at_end() const { return left_ == 0; }

  private:
    bool take(size_t count) {
        if (count > left_) {
            left_ = 0;
            return false;
        }
        data_ += count;
        left_ -= count;
        return true;
    }

    const uint8_t *data_;
    size_t left_;
};

// The first line of OpenVPN's credentials file is the name, the second the
// password: a line break (or a NUL, which ends the text early) in either
// would send something else.
pelk_helper_refusal check_secret_text(const std::string &text, size_t limit) {
    if (text.size() > limit || text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return PELK_HELPER_BAD_TEXT;
    }
    return PELK_HELPER_SOUND;
}

pelk_helper_refusal check(const pelk_helper_request &request) {
    switch (request.kind) {
    case PELK_HELPER_ALIVE:
    case PELK_HELPER_STOP:
    case PELK_HELPER_KILL_STRAY:
    case PELK_HELPER_CLEAN_UP:
    case PELK_HELPER_UNBLOCK:
        return PELK_HELPER_SOUND;
    case PELK_HELPER_DNS_APPLY:
        return request.connection != 0 ? PELK_HELPER_SOUND : PELK_HELPER_BAD_CONNECTION;
    case PELK_HELPER_START:
        break;
    default:
        return PELK_HELPER_UNKNOWN_KIND;
    }
    if (request.connection == 0) {
        return PELK_HELPER_BAD_CONNECTION;
    }
    if (pelk_helper_refusal refusal = check_secret_text(request.user_name, pelk_helper_max_user_name)) {
        return refusal;
    }
    if (pelk_helper_refusal refusal = check_secret_text(request.password, pelk_helper_max_password)) {
        return refusal;
    }
    if (request.server_address.size() > pelk_helper_max_server_address ||
        request.server_address.find('\0') != std::string::npos ||
        !config_generator_is_server_address(request.server_address.c_str())) {
        return PELK_HELPER_BAD_ADDRESS;
    }
    // No ports is sound: OpenVPN then starts without a server and says so,
    // as it would with the list of a failed port request.
    if (request.ports.size() > pelk_helper_max_ports) {
        return PELK_HELPER_BAD_PORTS;
    }
    for (int32_t port : request.ports) {
        if (port < 1 || port > 65535) {
            return PELK_HELPER_BAD_PORTS;
        }
    }
    return PELK_HELPER_SOUND;
}

}  // namespace

const char *pelk_helper_refusal_text(pelk_helper_refusal refusal) {
    switch (refusal) {
    case PELK_HELPER_SOUND:
        return "sound";
    case PELK_HELPER_TRUNCATED:
        return "truncated";
    case PELK_HELPER_TRAILING:
        return "bytes after the last field";
    case PELK_HELPER_UNKNOWN_KIND:
        return "unknown request";
    case PELK_HELPER_BAD_CONNECTION:
        return "no connection";
    case PELK_HELPER_BAD_TEXT:
        return "user name or password too long or holding a line break";
    case PELK_HELPER_BAD_ADDRESS:
        return "server address empty, too long or holding other characters than [A-Za-z0-9.:-]";
    case PELK_HELPER_BAD_PORTS:
        return "too many ports, or one outside 1-65535";
    }
    return "unknown refusal";
}

std::string pelk_helper_request_write(const pelk_helper_request &request) {
    if (check(request) != PELK_HELPER_SOUND) {
        return "";
    }
    std::string out(1, static_cast<char>(request.kind));
    if (request.kind == PELK_HELPER_DNS_APPLY) {
        put_u32(&out, request.connection);
    } else if (request.kind == PELK_HELPER_START) {
        put_u32(&out, request.connection);
        put_text(&out, request.user_name);
        put_text(&out, request.password);
        put_text(&out, request.server_address);
        put_u32(&out, static_cast<uint32_t>(request.ports.size()));
        for (int32_t port : request.ports) {
            put_u32(&out, static_cast<uint32_t>(port));
        }
    }
    return out;
}

pelk_helper_refusal pelk_helper_request_read(const uint8_t *data, size_t size, pelk_helper_request *request) {
    *request = pelk_helper_request{};
    Cursor cursor(data, size);
    uint8_t kind = 0;
    if (!cursor.u8(&kind)) {
        return PELK_HELPER_TRUNCATED;
    }
    request->kind = static_cast<pelk_helper_request_kind>(kind);
    uint32_t connection = 0;
    if (kind == PELK_HELPER_DNS_APPLY || kind == PELK_HELPER_START) {
        if (!cursor.u32(&connection)) {
            return PELK_HELPER_TRUNCATED;
        }
        request->connection = connection;
    }
    if (kind == PELK_HELPER_START) {
        uint32_t count = 0;
        if (!cursor.text(&request->user_name) || !cursor.text(&request->password) ||
            !cursor.text(&request->server_address) || !cursor.u32(&count)) {
            return PELK_HELPER_TRUNCATED;
        }
        // Checked before anything is reserved for them.
        if (count > pelk_helper_max_ports) {
            return PELK_HELPER_BAD_PORTS;
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t port = 0;
            if (!cursor.u32(&port)) {
                return PELK_HELPER_TRUNCATED;
            }
            request->ports.push_back(port > 65535 ? -1 : static_cast<int32_t>(port));
        }
    }
    if (!cursor.at_end()) {
        return PELK_HELPER_TRAILING;
    }
    return check(*request);
}

std::string pelk_helper_reply_write(int32_t result) {
    std::string out(1, static_cast<char>(PELK_HELPER_REPLY));
    put_u32(&out, static_cast<uint32_t>(result));
    return out;
}

std::string pelk_helper_log_write(const char *text) {
    std::string out(1, static_cast<char>(PELK_HELPER_LOG));
    const size_t length = text != nullptr ? strnlen(text, pelk_helper_max_log_text) : 0;
    out.append(text != nullptr ? text : "", length);
    return out;
}

std::string pelk_helper_output_write(unsigned int connection, pelk_helper_stream stream, const char *piece,
                                     size_t length) {
    std::string out(1, static_cast<char>(PELK_HELPER_OUTPUT));
    put_u32(&out, connection);
    out.push_back(static_cast<char>(stream));
    out.append(piece != nullptr ? piece : "", piece != nullptr && length <= pelk_helper_max_piece ? length : 0);
    return out;
}

bool pelk_helper_message_read(const uint8_t *data, size_t size, pelk_helper_message *message) {
    *message = pelk_helper_message{};
    Cursor cursor(data, size);
    uint8_t kind = 0;
    if (!cursor.u8(&kind)) {
        return false;
    }
    message->kind = static_cast<pelk_helper_message_kind>(kind);
    switch (kind) {
    case PELK_HELPER_REPLY: {
        uint32_t result = 0;
        if (!cursor.u32(&result) || !cursor.at_end()) {
            return false;
        }
        message->result = static_cast<int32_t>(result);
        return true;
    }
    case PELK_HELPER_LOG:
        message->bytes = cursor.rest();
        return message->bytes.size() <= pelk_helper_max_log_text && message->bytes.find('\0') == std::string::npos;
    case PELK_HELPER_OUTPUT: {
        uint32_t connection = 0;
        uint8_t stream = 0;
        if (!cursor.u32(&connection) || !cursor.u8(&stream) ||
            (stream != PELK_HELPER_STDOUT && stream != PELK_HELPER_STDERR) || connection == 0) {
            return false;
        }
        message->connection = connection;
        message->stream = static_cast<pelk_helper_stream>(stream);
        message->bytes = cursor.rest();
        return message->bytes.size() <= pelk_helper_max_piece;
    }
    default:
        return false;
    }
}
