#include "platform/common/lock_observer.h"

#include <atomic>

namespace {

// Set and cleared by a test while no other thread takes the observed lock; atomic because
// other locks (the clock's) are taken on other threads meanwhile.
std::atomic<LockObserver> g_observer{nullptr};
std::atomic<void*> g_user{nullptr};

}  // namespace

void lock_SetObserver(LockObserver observer, void* user) {
    if (observer == nullptr) g_observer.store(nullptr);
    g_user.store(user);
    if (observer != nullptr) g_observer.store(observer);
}

void lock_Observe(PlatformLock* lock, int acquired) {
    LockObserver observer = g_observer.load();
    if (observer != nullptr) observer(g_user.load(), lock, acquired);
}
