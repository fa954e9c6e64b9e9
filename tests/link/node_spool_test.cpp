#include <gtest/gtest.h>

#include <vector>

#include "link/node_spool.h"

namespace {

struct Spool {
    explicit Spool(uint16_t count, uint16_t size = sizeof(NODE) + 4)
        : mem(node_spool_bytes(size, count)), s(reinterpret_cast<NODE_SPOOL*>(mem.data())) {
        node_init_spool(s, size, count);
    }
    std::vector<unsigned char> mem;
    NODE_SPOOL* s;
};

// The nodes are packed: their members are copied out before anything takes a reference to them
// (gtest's comparisons do), which would be a misaligned reference.
template <class T> T At(T packed_member) {
    return packed_member;
}

std::vector<uint16_t> keys(NODE* head) {
    std::vector<uint16_t> k;
    if (!head) return k;
    NODE* n = head;
    do {
        k.push_back(At(n->key));
        n = n->next;
    } while (n != head);
    return k;
}

TEST(NodeSpool, HandsOutPositionsCyclicallyAfterTheCursor) {
    Spool sp(3);
    EXPECT_EQ(node_new(0, sp.s), node_node(1, sp.s));
    EXPECT_EQ(node_new(0, sp.s), node_node(2, sp.s));
    EXPECT_EQ(node_new(0, sp.s), node_node(0, sp.s));
    EXPECT_EQ(sp.s->in_use, 3);
    EXPECT_EQ(node_new(0, sp.s), nullptr);
    EXPECT_EQ(sp.s->in_use, 3);
    // A freed node is found again, with the in-use nodes passed over counted.
    EXPECT_EQ(node_delete(node_node(2, sp.s), sp.s), 0);
    NODE* n = node_new(9, sp.s);
    EXPECT_EQ(n, node_node(2, sp.s));
    EXPECT_EQ(int{n->alloc_count}, 1); // position 1 was passed over
    EXPECT_EQ(int{n->key}, 9);
    EXPECT_EQ(At(n->next), n);
}

TEST(NodeSpool, RefusesAbsentOrUninitialisedSpools) {
    Spool sp(2);
    EXPECT_EQ(node_new(0, nullptr), nullptr);
    sp.s->mark = 0;
    EXPECT_EQ(node_new(0, sp.s), nullptr);
    EXPECT_EQ(node_node(0, sp.s), nullptr);
    sp.s->mark = NODE_SPOOL_MARK;
    EXPECT_EQ(node_node(2, sp.s), nullptr);
    NODE* n = node_new(0, sp.s);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(node_delete(n, nullptr), NODE_ERR_SPOOL);
    EXPECT_EQ(int{n->mark}, 0);
    EXPECT_EQ(node_delete(nullptr, sp.s), NODE_ERR_ABSENT);
    EXPECT_EQ(node_singlemark(nullptr, 1), NODE_ERR_ABSENT);
}

TEST(NodeSpool, LinkOrdersByKeyWithoutSorting) {
    Spool sp(8);
    NODE* head = nullptr;
    int out = 0;
    for (uint16_t k : {5, 3, 7}) {
        head = node_link(head, node_new(k, sp.s), &out);
        EXPECT_EQ(out, 1);
    }
    EXPECT_EQ(keys(head), (std::vector<uint16_t>{5, 3, 7}));
    EXPECT_EQ(node_getnum(head), 3);
    // Linking a node already in the list is refused.
    NODE* three = node_find(head, 3);
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(node_link(head, three, &out), head);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(node_find(head, 4), nullptr);
}

TEST(NodeSpool, KeyZeroMakesAFifo) {
    Spool sp(8);
    NODE* head = nullptr;
    std::vector<NODE*> nodes;
    int out = 0;
    for (int i = 0; i < 4; ++i) {
        nodes.push_back(node_new(0, sp.s));
        head = node_link(head, nodes.back(), &out);
    }
    NODE* n = head;
    for (int i = 0; i < 4; ++i, n = n->next)
        EXPECT_EQ(n, nodes[i]);
    EXPECT_EQ(At(head->prev), nodes[3]);
}

TEST(NodeSpool, UnlinkCheckAndClear) {
    Spool sp(4);
    int out = 0;
    NODE* a = node_new(0, sp.s);
    NODE* head = node_link(nullptr, a, &out);
    NODE* b = node_new(0, sp.s);
    NODE* c = node_new(0, sp.s);
    head = node_link(head, b, &out);
    EXPECT_EQ(node_check(head, c), nullptr);
    head = node_unlink(head, c, &out); // not in the list
    EXPECT_EQ(out, 0);
    head = node_link(head, c, &out);
    head = node_unlink(head, b, &out);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(At(b->next), b);
    EXPECT_EQ(node_getnum(head), 2);
    head = node_unlink(head, a, &out); // the head goes: its next becomes head
    EXPECT_EQ(head, c);
    head = node_unlink(head, c, &out);
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(node_getnum(nullptr), 0);

    head = node_link(node_link(nullptr, a, &out), b, &out);
    EXPECT_EQ(node_clear(head), nullptr);
    EXPECT_EQ(At(a->next), a);
    EXPECT_EQ(int{a->mark}, int{NODE_MARK_INUSE});
}

} // namespace
