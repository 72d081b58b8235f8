// A message queue per thread, as Windows keeps one for every thread that posts.
//
// Each thread's queue is a ring of fixed size, allocated at the thread's first post, so that
// posting (once per transferred block) allocates nothing.
#include "platform/messages.h"

#include <stddef.h>

#include <memory>
#include <new>

#include "platform/memory.h"

namespace {

struct Message {
    uint32_t id;
    intptr_t wParam;
    intptr_t lParam;
};

// Windows refuses posts beyond 10,000 queued messages; so do we.
constexpr size_t kQueueLimit = 10000;

struct Ring {
    Message slots[kQueueLimit];
    size_t head = 0;   // oldest message
    size_t count = 0;  // messages queued
};

Ring* ring(bool create) {
    thread_local std::unique_ptr<Ring> r;
    if (!r && create) r.reset(mem_New<Ring>());
    return r.get();
}

}  // namespace

int msg_Post(uint32_t id, intptr_t wParam, intptr_t lParam) {
    Ring* q = ring(true);
    if (q == nullptr || q->count >= kQueueLimit) return 0;
    q->slots[(q->head + q->count) % kQueueLimit] = Message{id, wParam, lParam};
    ++q->count;
    return 1;
}

int msg_Peek(uint32_t* id, intptr_t* wParam, intptr_t* lParam, int remove) {
    Ring* q = ring(false);
    if (q == nullptr || q->count == 0) return 0;
    const Message& m = q->slots[q->head];
    if (id) *id = m.id;
    if (wParam) *wParam = m.wParam;
    if (lParam) *lParam = m.lParam;
    if (remove) {
        q->head = (q->head + 1) % kQueueLimit;
        --q->count;
    }
    return 1;
}
