// The root helper's request reader: whatever bytes a program of the user's
// session writes to the socket, a request comes out only when every field is
// sound, and a sound request is exactly the bytes the window would send.
#include "fuzz_check.h"

#include "vpn/config_generator.h"
#include "vpn/helper_protocol.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    pelk_helper_request request;
    if (pelk_helper_request_read(data, size, &request) != PELK_HELPER_SOUND) {
        return 0;
    }
    fuzz_check(pelk_helper_request_write(request) == std::string(reinterpret_cast<const char *>(data), size));
    if (request.kind == PELK_HELPER_START) {
        fuzz_check(request.connection != 0);
        fuzz_check(config_generator_is_server_address(request.server_address.c_str()));
        fuzz_check(request.user_name.find_first_of("\r\n") == std::string::npos);
        fuzz_check(request.password.find_first_of("\r\n") == std::string::npos);
        fuzz_check(request.ports.size() <= pelk_helper_max_ports);
        for (int32_t port : request.ports) {
            fuzz_check(port >= 1 && port <= 65535);
        }
    }
    return 0;
}
