// Threads on POSIX systems.
#include "platform/thread.h"

#include <pthread.h>

#include <new>

#include "platform/fault.h"
#include "platform/memory.h"

struct PlatformThread {
    pthread_t id;
    ThreadMain main;
    void* arg;
};

namespace {

void* start(void* self) {
    PlatformThread* t = static_cast<PlatformThread*>(self);
    t->main(t->arg);
    return nullptr;
}

}  // namespace

PlatformThread* thread_Start(ThreadMain main, void* arg) {
    if (fault_Hit(FAULT_SEAM_THREAD)) return nullptr;  // as a system out of threads
    PlatformThread* t = mem_New<PlatformThread>(pthread_t(), main, arg);
    if (t == nullptr) return nullptr;
    if (pthread_create(&t->id, nullptr, start, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

void thread_Join(PlatformThread* thread) {
    if (thread == nullptr) return;
    pthread_join(thread->id, nullptr);
    delete thread;
}
