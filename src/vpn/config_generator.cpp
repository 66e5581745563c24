#include "vpn/config_generator.h"

#include "app/logger.h"

#include <glib/gstdio.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Each "remote" line is formatted into a buffer of this size; a server
// address too long for it is refused rather than cut to another host.
constexpr size_t kRemoteLineSize = 500;

constexpr const char *kHead[] = {
    "client\n", "dev tun\n", "proto udp\n", "tun-mtu 1500\n", "tun-mtu-extra 32\n", "mssfix 1450\n", "remote-random\n",
};
constexpr const char *kTail[] = {
    "resolv-retry infinite\n", "nobind\n",       "persist-key\n", "persist-tun\n",      "persist-remote-ip\n",
    "auth-user-pass\n",        "auth-nocache\n", "comp-lzo\n",    "reneg-sec 604800\n", "verb 3\n",
};

void log_failure(const char *what, const GError *error) {
    g_autofree char *line =
        g_strdup_printf("config_generator: %s: %s\n", what, error != nullptr ? error->message : "refused");
    pelk_write_dev_log(line);
}

// Creates a fresh temporary file, writes the texts in order and closes it.
// A file that could not be written whole is removed: OpenVPN must never
// read half a configuration or half a password.
char *write_temporary_file(const std::vector<std::string> &texts) {
    GFileIOStream *raw_stream = nullptr;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GFile) file = g_file_new_tmp("pelkXXXXXX", &raw_stream, &error);
    if (file == nullptr) {
        log_failure("cannot create temporary file", error);
        return nullptr;
    }
    g_autoptr(GFileIOStream) stream = raw_stream;
    GOutputStream *output = g_io_stream_get_output_stream(G_IO_STREAM(stream));

    bool complete = true;
    for (const std::string &text : texts) {
        if (write_data(output, text.c_str()) != static_cast<gssize>(text.size())) {
            complete = false;
            break;
        }
    }
    if (!g_io_stream_close(G_IO_STREAM(stream), nullptr, &error)) {
        complete = false;
    }
    char *path = g_file_get_path(file);
    if (!complete) {
        log_failure("cannot write temporary file", error);
        g_remove(path);
        g_free(path);
        return nullptr;
    }
    return path;
}

}  // namespace

gssize write_data(GOutputStream *stream, const char *text) {
    gsize written = 0;
    if (!g_output_stream_write_all(stream, text, strlen(text), &written, nullptr, nullptr)) {
        return -1;
    }
    return static_cast<gssize>(written);
}

char *config_generator_create_openvpn_config_file(const char *server_address, const int32_t *ports, int port_count) {
    const char *address = server_address != nullptr ? server_address : "";
    // The address is one word on a directive line; anything that would end
    // the line or add a word would smuggle in directives of its own.
    if (strpbrk(address, " \t\r\n\"'#;\\") != nullptr) {
        log_failure("server address holds characters OpenVPN would misread", nullptr);
        return nullptr;
    }
    std::vector<std::string> texts(std::begin(kHead), std::end(kHead));
    for (int i = 0; i < port_count; ++i) {
        char line[kRemoteLineSize];
        const int length = snprintf(line, sizeof line, "remote %s %i\n", address, ports[i]);
        if (length < 0 || static_cast<size_t>(length) >= sizeof line) {
            log_failure("remote line too long", nullptr);
            return nullptr;
        }
        texts.emplace_back(line);
    }
    texts.insert(texts.end(), std::begin(kTail), std::end(kTail));
    return write_temporary_file(texts);
}

char *config_generator_create_credentials_file(const char *user_name, const char *password) {
    const char *user = user_name != nullptr ? user_name : "";
    const char *secret = password != nullptr ? password : "";
    // OpenVPN takes the first line as the name and the second as the
    // password; a line break inside either would send something else.
    if (strpbrk(user, "\r\n") != nullptr || strpbrk(secret, "\r\n") != nullptr) {
        log_failure("user name or password holds a line break", nullptr);
        return nullptr;
    }
    return write_temporary_file({user, "\n", secret, "\n"});
}
