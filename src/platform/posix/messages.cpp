// A message queue per thread, as Windows keeps one for every thread that posts.
#include "platform/messages.h"

#include <stddef.h>

#include <deque>

namespace {

struct Message {
    uint32_t id;
    intptr_t wParam;
    intptr_t lParam;
};

// Windows refuses posts beyond 10,000 queued messages; so do we.
constexpr size_t kQueueLimit = 10000;

std::deque<Message>& queue() {
    thread_local std::deque<Message> q;
    return q;
}

}  // namespace

int msg_Post(uint32_t id, intptr_t wParam, intptr_t lParam) {
    std::deque<Message>& q = queue();
    if (q.size() >= kQueueLimit) return 0;
    q.push_back(Message{id, wParam, lParam});
    return 1;
}

int msg_Peek(uint32_t* id, intptr_t* wParam, intptr_t* lParam, int remove) {
    std::deque<Message>& q = queue();
    if (q.empty()) return 0;
    const Message& m = q.front();
    if (id) *id = m.id;
    if (wParam) *wParam = m.wParam;
    if (lParam) *lParam = m.lParam;
    if (remove) q.pop_front();
    return 1;
}
