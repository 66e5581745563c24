// The server-list reader and the list it builds.
#include "fuzz_check.h"

#include "dal/server_entity.h"
#include "service/json_parser.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string body = fuzz_text(data, size);
    server_entity_container *list = pelk_json_parse_server_list(body.c_str());
    if (list == nullptr) {
        // Only an object end can make a reply unusable.
        fuzz_check(body.find('}') != std::string::npos);
        return 0;
    }
    const int count = server_entity_container_get_items_count(list);
    int index = 0;
    for (pelk_dal_server_entity *e = list->head; e != nullptr; e = e->next, ++index) {
        fuzz_check(server_entity_container_get_item_at(list, index) == e);
        for (const char *text : {e->server_address, e->server_name, e->country_code}) {
            fuzz_check(std::strlen(text) < 500);
            fuzz_check(fuzz_is_part_of(body, text));
            // A value ends at its closing quote: the "id" member, or any
            // other, never rides along inside one.
            fuzz_check(std::strchr(text, '"') == nullptr);
        }
        fuzz_check(e->is_favourite == 0);
        pelk_dal_server_entity *found = server_entity_container_find_item_by_server_address(list, e->server_address);
        fuzz_check(found != nullptr && std::strcmp(found->server_address, e->server_address) == 0);
    }
    fuzz_check(index == count);
    fuzz_check(server_entity_container_get_item_at(list, count) == nullptr);
    fuzz_check(server_entity_container_find_favorite(list) == nullptr);
    server_entity_container_free(list);
    return 0;
}
