#include "platform/lock.h"

#include <mutex>
#include <new>

#include "platform/common/lock_observer.h"

struct PlatformLock {
    std::mutex mutex;
};

PlatformLock* lock_Create(void) {
    return new (std::nothrow) PlatformLock();
}
void lock_Acquire(PlatformLock* lock) {
    lock->mutex.lock();
    lock_Observe(lock, 1);
}
int lock_TryAcquire(PlatformLock* lock) {
    if (!lock->mutex.try_lock()) return 0;
    lock_Observe(lock, 1);
    return 1;
}
void lock_Release(PlatformLock* lock) {
    lock_Observe(lock, 0);
    lock->mutex.unlock();
}
void lock_Destroy(PlatformLock* lock) {
    delete lock;
}
