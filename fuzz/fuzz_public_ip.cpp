// The public-IP reader on the tokenizer.
#include "fuzz_check.h"

#include "base/owned_text.h"
#include "service/json_parser.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string body = fuzz_text(data, size);
    pelk_json_public_ip ip = pelk_json_read_public_ip(body.c_str());
    fuzz_check(ip.parse_result >= -3 && ip.parse_result <= 256);
    if (ip.ip_address != nullptr) {
        fuzz_check(ip.parse_result > 2);
        fuzz_check(std::strlen(ip.ip_address) < 500 && fuzz_is_part_of(body, ip.ip_address));
    }
    if (ip.country_code != nullptr) {
        fuzz_check(ip.parse_result > 4);
        fuzz_check(std::strlen(ip.country_code) < 500 && fuzz_is_part_of(body, ip.country_code));
    }
    if (ip.parse_result <= 0) {
        pelk_owned_text error(pelk_json_parse_result_text_new(ip.parse_result));
        fuzz_check(error != nullptr && std::strlen(error.get()) < 500);
    }
    pelk_json_public_ip_clear(&ip);
    return 0;
}
