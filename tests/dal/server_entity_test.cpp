#include "dal/server_entity.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct container_deleter {
    void operator()(server_entity_container *c) const noexcept { server_entity_container_free(c); }
};
using owned_list = std::unique_ptr<server_entity_container, container_deleter>;

struct row {
    const char *address;
    int is_favourite;
    int is_enabled;
};

// A list of servers named after their position ("s0", "s1", ...), so a
// lookup result can be told apart from another record with the same key.
owned_list make_list(std::initializer_list<row> rows) {
    owned_list list(server_entity_container_new());
    int i = 0;
    for (const row &r : rows) {
        const std::string name = "s" + std::to_string(i++);
        server_entity_container_add(list.get(), "de", r.address, name.c_str(), r.is_favourite, r.is_enabled);
    }
    return list;
}

std::string name_of(const pelk_dal_server_entity *e) { return e != nullptr ? e->server_name : "<none>"; }

TEST(ServerEntity, NewCopiesTextsIntoTheirFieldsDespiteReversedArgumentOrder) {
    char cc[] = "fr";
    char address[] = "paris.vpn.example";
    char name[] = "Paris";
    pelk_dal_server_entity *e = pelk_dal_server_entity_new(cc, address, name, 1, 0);
    cc[0] = address[0] = name[0] = 'X';  // the record must hold copies
    EXPECT_STREQ(e->country_code, "fr");
    EXPECT_STREQ(e->server_address, "paris.vpn.example");
    EXPECT_STREQ(e->server_name, "Paris");
    EXPECT_EQ(e->is_favourite, 1);
    EXPECT_EQ(e->is_enabled, 0);
    EXPECT_EQ(e->next, nullptr);
    pelk_dal_server_entity_free(e);
}

TEST(ServerEntity, AbsentTextsBecomeEmptyTextsSoLookupsNeverMeetNull) {
    owned_list list(server_entity_container_new());
    server_entity_container_add(list.get(), nullptr, nullptr, nullptr, 0, 1);
    pelk_dal_server_entity *e = server_entity_container_get_item_at(list.get(), 0);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->country_code, "");
    EXPECT_STREQ(e->server_name, "");
    EXPECT_EQ(server_entity_container_find_item_by_server_address(list.get(), ""), e);
    EXPECT_EQ(server_entity_container_find_item_by_server_address(list.get(), nullptr), nullptr);
}

TEST(ServerEntity, IndexedAccessFollowsAppendOrder) {
    owned_list list = make_list({{"a", 0, 1}, {"b", 0, 1}, {"c", 0, 1}});
    ASSERT_EQ(server_entity_container_get_items_count(list.get()), 3);
    const struct {
        int index;
        const char *expected;
    } cases[] = {
        {0, "s0"}, {1, "s1"}, {2, "s2"}, {3, "<none>"}, {4, "<none>"}, {-1, "<none>"}, {-2147483647 - 1, "<none>"}};
    for (const auto &c : cases) {
        EXPECT_EQ(name_of(server_entity_container_get_item_at(list.get(), c.index)), c.expected) << c.index;
    }
}

TEST(ServerEntity, SearchesReturnTheFirstMatchingRecord) {
    owned_list list =
        make_list({{"dup.example", 1, 0}, {"dup.example", 0, 1}, {"Fav.example", 1, 1}, {"fav.example", 1, 1}});
    const struct {
        const char *address;
        const char *expected;
    } by_address[] = {
        {"dup.example", "s0"},                                 // two records share the key: the first wins
        {"fav.example", "s3"},                                 // case counts
        {"FAV.EXAMPLE", "<none>"},  {"dup.exampl", "<none>"},  // no prefix match
        {"dup.example ", "<none>"}, {"", "<none>"},
    };
    for (const auto &c : by_address) {
        EXPECT_EQ(name_of(server_entity_container_find_item_by_server_address(list.get(), c.address)), c.expected)
            << c.address;
    }
    // s0 is a favourite but not enabled; s2 is the first that is both.
    EXPECT_EQ(name_of(server_entity_container_find_favorite(list.get())), "s2");
}

TEST(ServerEntity, FavouriteNeedsBothFlags) {
    const struct {
        owned_list list;
        const char *expected;
    } cases[] = {
        {make_list({}), "<none>"},
        {make_list({{"a", 1, 0}}), "<none>"},
        {make_list({{"a", 0, 1}}), "<none>"},
        {make_list({{"a", 0, 1}, {"b", 1, 0}, {"c", 1, 1}}), "s2"},
        {make_list({{"a", 1, 1}, {"b", 1, 1}}), "s0"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(name_of(server_entity_container_find_favorite(c.list.get())), c.expected);
    }
}

TEST(ServerEntity, AbsentListIsAnEmptyListForEveryOperation) {
    server_entity_container_add(nullptr, "de", "a", "b", 1, 1);
    EXPECT_EQ(server_entity_container_get_items_count(nullptr), 0);
    EXPECT_EQ(server_entity_container_get_item_at(nullptr, 0), nullptr);
    EXPECT_EQ(server_entity_container_find_item_by_server_address(nullptr, "a"), nullptr);
    EXPECT_EQ(server_entity_container_find_favorite(nullptr), nullptr);
    server_entity_container_free(nullptr);
    server_entity_container_entity_free(nullptr);
    pelk_dal_server_entity_free(nullptr);

    owned_list empty(server_entity_container_new());
    EXPECT_EQ(empty->head, nullptr);
    EXPECT_EQ(server_entity_container_get_items_count(empty.get()), 0);
    EXPECT_EQ(server_entity_container_get_item_at(empty.get(), 0), nullptr);
}

TEST(ServerEntity, ReleasingFromARecordReleasesTheRestOfTheChain) {
    // Cut the chain after s1 and release the tail; the sanitizer build
    // reports a leak or double release if either part is wrong.
    owned_list list = make_list({{"a", 0, 1}, {"b", 0, 1}, {"c", 0, 1}, {"d", 0, 1}});
    pelk_dal_server_entity *s1 = server_entity_container_get_item_at(list.get(), 1);
    server_entity_container_entity_free(s1->next);
    s1->next = nullptr;
    EXPECT_EQ(server_entity_container_get_items_count(list.get()), 2);
    server_entity_container_add(list.get(), "de", "e", "new", 0, 1);
    EXPECT_EQ(name_of(server_entity_container_get_item_at(list.get(), 2)), "new");
}

TEST(ServerEntity, LongChainIsCountedAndReleasedWithoutRecursion) {
    owned_list list(server_entity_container_new());
    // Prepending keeps building linear; the append path is covered above.
    for (int i = 0; i < 200000; ++i) {
        pelk_dal_server_entity *e = pelk_dal_server_entity_new("de", "a", "n", 0, 1);
        e->next = list->head;
        list->head = e;
    }
    EXPECT_EQ(server_entity_container_get_items_count(list.get()), 200000);
}

}  // namespace
