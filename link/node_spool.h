#pragma once
// A fixed pool of equal-sized nodes in one block, and circular doubly linked lists of them.
// The layouts are packed; links are pointer-sized. Null is the only absent pointer.
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct NODE {
    NODE* next;              // the node itself when alone
    NODE* prev;              // the node itself when alone
    uint8_t mark;            // 0xFE in use, 0 free
    uint16_t alloc_count;    // in-use nodes passed over when handed out
    uint16_t key;            // orders and finds nodes
};

struct NODE_SPOOL {
    uint16_t mark;      // 0x00FE when initialised
    uint16_t node_size; // bytes per node, header included
    uint16_t in_use;
    uint16_t count;
    uint16_t cursor;    // position handed out last
    // count * node_size bytes of nodes follow
};
#pragma pack(pop)

constexpr uint8_t NODE_MARK_INUSE = 0xFE;
constexpr uint16_t NODE_SPOOL_MARK = 0x00FE;
constexpr int NODE_ERR_ABSENT = -1101;
constexpr int NODE_ERR_SPOOL = -1102;

// Bytes a spool of `count` nodes of `node_size` bytes occupies.
constexpr size_t node_spool_bytes(size_t node_size, size_t count) {
    return sizeof(NODE_SPOOL) + node_size * count;
}

extern "C" {
int node_init_spool(NODE_SPOOL* spool, uint16_t node_size, uint16_t node_count);
NODE* node_new(uint16_t key, NODE_SPOOL* spool);
int node_delete(NODE* node, NODE_SPOOL* spool);
int node_singlemark(NODE* node, uint16_t key);
NODE* node_node(uint16_t position, NODE_SPOOL* spool);
NODE* node_link(NODE* head, NODE* node, int* out_linked);
NODE* node_unlink(NODE* head, NODE* node, int* out_removed);
NODE* node_check(NODE* head, NODE* node);
NODE* node_find(NODE* head, uint16_t key);
int node_getnum(NODE* head);
NODE* node_clear(NODE* head);
}
