// The key scanner on its own (every member name at every place it occurs)
// and the sign-in reply reader built on it.
#include "fuzz_check.h"

#include "base/owned_text.h"
#include "service/json_parser.h"

#include <cstdint>

namespace {

const char *const names[] = {"expiry_date_in_days", "expiry_date",    "error_code",  "plan_name",   "plan_key",
                             "valid_servers",       "server_address", "server_name", "country_code"};

void check_value(const std::string &body, const char *value) {
    if (value != nullptr) {
        fuzz_check(std::strlen(value) < 500);
        fuzz_check(std::strchr(value, '"') == nullptr);
        fuzz_check(fuzz_is_part_of(body, value));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string body = fuzz_text(data, size);

    for (const char *name : names) {
        for (const char *at = std::strstr(body.c_str(), name); at != nullptr; at = std::strstr(at + 1, name)) {
            pelk_owned_text value(get_string_value(name, at));
            check_value(body, value.get());
            (void)get_int_value(name, at);
        }
    }
    // Positions that do not point at the name must stay inside the text too.
    for (size_t i = 0; i < body.size(); i += 7) {
        pelk_owned_text value(get_string_value("error_code", body.c_str() + i));
        check_value(body, value.get());
    }

    pelk_json_authentication auth = pelk_json_parse_authentication(body.c_str());
    fuzz_check(auth.reserved == 0);
    for (const char *text : {auth.expiry_date, auth.plan_name, auth.plan_key, auth.valid_servers}) {
        check_value(body, text);
    }
    if (body.find("error_code") == std::string::npos) {
        fuzz_check(auth.error_code == -1);
    }
    fuzz_check(pelk_json_authentication_is_all_servers(&auth) ==
               (auth.valid_servers != nullptr && std::strcmp(auth.valid_servers, "all") == 0));
    fuzz_check(pelk_json_authentication_is_trial(&auth) ==
               (auth.plan_key != nullptr && std::strcmp(auth.plan_key, "trial") == 0));
    pelk_json_authentication_clear(&auth);
    fuzz_check(auth.expiry_date == nullptr && auth.plan_name == nullptr && auth.plan_key == nullptr &&
               auth.valid_servers == nullptr);
    return 0;
}
