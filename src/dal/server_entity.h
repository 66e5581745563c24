// pelk_dal_server_entity_*, server_entity_container_*: the account's VPN server records.
#pragma once

// The VPN servers of the account, as a chain of records in reply order.
// Lists and records carry no lock: they are built and changed on the GTK
// main thread; other threads copy the texts they need.

// One VPN server. The record owns its three texts, which are never NULL.
struct pelk_dal_server_entity {
    char *server_name;
    char *server_address;  // the key: lookups, the favourite and connects use it
    char *country_code;    // names the flag picture "flags/<code>.png"
    int is_favourite;
    int is_enabled;
    pelk_dal_server_entity *next;
};

// The list owns every record of its chain; head is NULL for an empty list.
struct server_entity_container {
    pelk_dal_server_entity *head;
};

// New text (free()): a copy of text, NUL-terminated; a fresh empty text for
// NULL.
char *char_array_new(const char *text);

// New record holding copies of the texts (NULL is copied as the empty
// text) and the two flags; next is NULL. Note the argument order: country
// code first, the reverse of the field order.
pelk_dal_server_entity *pelk_dal_server_entity_new(const char *country_code, const char *server_address,
                                                   const char *server_name, int is_favourite, int is_enabled);

// Releases one record and its texts, not the records after it; nothing for
// NULL.
void pelk_dal_server_entity_free(pelk_dal_server_entity *entity);

// New empty list.
server_entity_container *server_entity_container_new(void);

// Number of records; 0 for NULL.
int server_entity_container_get_items_count(const server_entity_container *container);

// The record at index (from 0), or NULL when the chain ends before it, the
// index is negative or the list is NULL.
pelk_dal_server_entity *server_entity_container_get_item_at(server_entity_container *container, int index);

// The first record whose server_address equals address byte for byte, or
// NULL (also for a NULL list or address).
pelk_dal_server_entity *server_entity_container_find_item_by_server_address(server_entity_container *container,
                                                                            const char *address);

// The first record that is both favourite and enabled, or NULL.
pelk_dal_server_entity *server_entity_container_find_favorite(server_entity_container *container);

// Appends a new record (as pelk_dal_server_entity_new) at the end of the
// chain; nothing for a NULL list.
void server_entity_container_add(server_entity_container *container, const char *country_code,
                                 const char *server_address, const char *server_name, int is_favourite, int is_enabled);

// Releases entity and every record after it in its chain; nothing for NULL.
void server_entity_container_entity_free(pelk_dal_server_entity *entity);

// Releases every record and then the list; nothing for NULL.
void server_entity_container_free(server_entity_container *container);
