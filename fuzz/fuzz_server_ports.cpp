// The port reader on the tokenizer, with the log lines of its tokens.
#include "fuzz_check.h"

#include "base/owned_text.h"
#include "service/json_parser.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string body = fuzz_text(data, size);
    pelk_json_server_ports ports = pelk_json_read_server_ports(body.c_str());
    fuzz_check(ports.parse_result >= -3 && ports.parse_result <= 256);
    fuzz_check(ports.tokens_count == (ports.parse_result > 0 ? ports.parse_result : 0));
    fuzz_check((ports.ports != nullptr) == (ports.parse_result > 0));

    int primitives = 0;
    for (int i = 0; i < ports.tokens_count; ++i) {
        primitives += ports.tokens[i].is_primitive ? 1 : 0;
        fuzz_check(fuzz_is_part_of(body, ports.tokens[i].text));
        pelk_owned_text line(pelk_json_port_token_log_line_new(i, ports.tokens[i].text));
        const size_t length = std::strlen(line.get());
        fuzz_check(length <= 499 && line.get()[length - 1] == '\n');
        // The reader cut the text already: the line must hold all of it.
        fuzz_check(std::strstr(line.get(), ports.tokens[i].text) != nullptr);
    }
    fuzz_check(primitives == ports.ports_count);
    int sink = 0;
    for (int i = 0; i < ports.ports_count; ++i) {
        sink ^= ports.ports[i];
    }
    (void)sink;

    int *taken = pelk_json_server_ports_take_ports(&ports);
    pelk_json_server_ports_clear(&ports);
    std::free(taken);
    return 0;
}
