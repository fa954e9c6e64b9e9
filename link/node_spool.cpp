#include "link/node_spool.h"

namespace {

bool spool_ready(const NODE_SPOOL* s) { return s && s->mark == NODE_SPOOL_MARK; }

NODE* at(NODE_SPOOL* s, uint16_t pos) {
    auto* base = reinterpret_cast<unsigned char*>(s) + sizeof(NODE_SPOOL);
    return reinterpret_cast<NODE*>(base + static_cast<size_t>(pos) * s->node_size);
}

void make_alone(NODE* n) {
    n->next = n;
    n->prev = n;
}

void insert_after(NODE* where, NODE* n) {
    NODE* after = where->next;
    n->prev = where;
    n->next = after;
    after->prev = n;
    where->next = n;
}

} // namespace

extern "C" {

int node_init_spool(NODE_SPOOL* spool, uint16_t node_size, uint16_t node_count) {
    if (!spool) return 0;
    spool->mark = NODE_SPOOL_MARK;
    spool->node_size = node_size;
    spool->count = node_count;
    spool->in_use = 0;
    spool->cursor = 0;
    for (uint16_t i = 0; i < node_count; ++i) at(spool, i)->mark = 0;
    return node_count;
}

NODE* node_new(uint16_t key, NODE_SPOOL* spool) {
    if (!spool_ready(spool)) return nullptr;
    for (uint16_t i = 0; i < spool->count; ++i) {
        spool->cursor = static_cast<uint16_t>(spool->cursor + 1 >= spool->count ? 0 : spool->cursor + 1);
        NODE* n = at(spool, spool->cursor);
        if (n->mark == NODE_MARK_INUSE) continue;
        n->alloc_count = i;
        n->key = key;
        n->mark = NODE_MARK_INUSE;
        make_alone(n);
        ++spool->in_use;
        return n;
    }
    return nullptr;
}

int node_delete(NODE* node, NODE_SPOOL* spool) {
    if (!node) return NODE_ERR_ABSENT;
    node->mark = 0;
    node->alloc_count = 0;
    node->key = 0;
    make_alone(node);
    if (!spool_ready(spool)) return NODE_ERR_SPOOL;
    if (spool->in_use > 0) --spool->in_use;
    return 0;
}

int node_singlemark(NODE* node, uint16_t key) {
    if (!node) return NODE_ERR_ABSENT;
    node->mark = NODE_MARK_INUSE;
    node->alloc_count = 0;
    node->key = key;
    make_alone(node);
    return 0;
}

NODE* node_node(uint16_t position, NODE_SPOOL* spool) {
    if (!spool_ready(spool) || position >= spool->count) return nullptr;
    return at(spool, position);
}

NODE* node_check(NODE* head, NODE* node) {
    if (!head || !node) return nullptr;
    NODE* n = head;
    do {
        if (n == node) return node;
        n = n->next;
    } while (n && n != head);
    return nullptr;
}

NODE* node_link(NODE* head, NODE* node, int* out_linked) {
    if (out_linked) *out_linked = 0;
    if (!node) return head;
    if (!head) {
        make_alone(node);
        if (out_linked) *out_linked = 1;
        return node;
    }
    NODE* after = nullptr;
    if (node->key != 0) {
        NODE* n = head;
        do {
            if (n == node) return head;
            if (n->key <= node->key) after = n;
            n = n->next;
        } while (n && n != head);
    }
    insert_after(after ? after : head->prev, node);
    if (out_linked) *out_linked = 1;
    return head;
}

NODE* node_unlink(NODE* head, NODE* node, int* out_removed) {
    if (out_removed) *out_removed = 0;
    if (!head || !node || !node_check(head, node)) return head;
    if (node == head) head = (node->next == node) ? nullptr : node->next;
    node->prev->next = node->next;
    node->next->prev = node->prev;
    make_alone(node);
    if (out_removed) *out_removed = 1;
    return head;
}

NODE* node_find(NODE* head, uint16_t key) {
    if (!head) return nullptr;
    NODE* n = head;
    do {
        if (n->key == key) return n;
        n = n->next;
    } while (n && n != head);
    return nullptr;
}

int node_getnum(NODE* head) {
    if (!head) return 0;
    int count = 0;
    NODE* n = head;
    do {
        ++count;
        n = n->next;
    } while (n && n != head);
    return count;
}

NODE* node_clear(NODE* head) {
    while (head) {
        int removed = 0;
        head = node_unlink(head, head, &removed);
        if (!removed) break;
    }
    return nullptr;
}

} // extern "C"
