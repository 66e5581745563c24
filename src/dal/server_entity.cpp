// pelk_dal_server_entity_*, server_entity_container_*: the account's VPN server records.
#include "dal/server_entity.h"

#include "dal/string_helper.h"

#include <cstdlib>
#include <cstring>

char *char_array_new(const char *text) { return pelk_string_helper_string_new_from(text); }

pelk_dal_server_entity *pelk_dal_server_entity_new(const char *country_code, const char *server_address,
                                                   const char *server_name, int is_favourite, int is_enabled) {
    auto *entity = static_cast<pelk_dal_server_entity *>(std::malloc(sizeof(pelk_dal_server_entity)));
    if (entity == nullptr) {
        std::abort();
    }
    entity->country_code = char_array_new(country_code);
    entity->server_address = char_array_new(server_address);
    entity->server_name = char_array_new(server_name);
    entity->is_favourite = is_favourite;
    entity->is_enabled = is_enabled;
    entity->next = nullptr;
    return entity;
}

void pelk_dal_server_entity_free(pelk_dal_server_entity *entity) {
    if (entity == nullptr) {
        return;
    }
    std::free(entity->country_code);
    std::free(entity->server_address);
    std::free(entity->server_name);
    std::free(entity);
}

server_entity_container *server_entity_container_new(void) {
    auto *container = static_cast<server_entity_container *>(std::malloc(sizeof(server_entity_container)));
    if (container == nullptr) {
        std::abort();
    }
    container->head = nullptr;
    return container;
}

int server_entity_container_get_items_count(const server_entity_container *container) {
    if (container == nullptr) {
        return 0;
    }
    int count = 0;
    for (const pelk_dal_server_entity *e = container->head; e != nullptr; e = e->next) {
        ++count;
    }
    return count;
}

pelk_dal_server_entity *server_entity_container_get_item_at(server_entity_container *container, int index) {
    if (container == nullptr || index < 0) {
        return nullptr;
    }
    pelk_dal_server_entity *e = container->head;
    for (int i = 0; i < index && e != nullptr; ++i) {
        e = e->next;
    }
    return e;
}

pelk_dal_server_entity *server_entity_container_find_item_by_server_address(server_entity_container *container,
                                                                            const char *address) {
    if (container == nullptr || address == nullptr) {
        return nullptr;
    }
    for (pelk_dal_server_entity *e = container->head; e != nullptr; e = e->next) {
        if (std::strcmp(e->server_address, address) == 0) {
            return e;
        }
    }
    return nullptr;
}

pelk_dal_server_entity *server_entity_container_find_favorite(server_entity_container *container) {
    if (container == nullptr) {
        return nullptr;
    }
    for (pelk_dal_server_entity *e = container->head; e != nullptr; e = e->next) {
        if (e->is_favourite && e->is_enabled) {
            return e;
        }
    }
    return nullptr;
}

void server_entity_container_add(server_entity_container *container, const char *country_code,
                                 const char *server_address, const char *server_name, int is_favourite,
                                 int is_enabled) {
    if (container == nullptr) {
        return;
    }
    pelk_dal_server_entity *entity =
        pelk_dal_server_entity_new(country_code, server_address, server_name, is_favourite, is_enabled);
    pelk_dal_server_entity **link = &container->head;
    while (*link != nullptr) {
        link = &(*link)->next;
    }
    *link = entity;
}

void server_entity_container_entity_free(pelk_dal_server_entity *entity) {
    // Iterative: a recursive release of a long chain would grow the stack
    // with the list.
    while (entity != nullptr) {
        pelk_dal_server_entity *next = entity->next;
        pelk_dal_server_entity_free(entity);
        entity = next;
    }
}

void server_entity_container_free(server_entity_container *container) {
    if (container == nullptr) {
        return;
    }
    server_entity_container_entity_free(container->head);
    std::free(container);
}
