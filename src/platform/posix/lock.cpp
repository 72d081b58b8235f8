#include "platform/lock.h"

#include <mutex>
#include <new>

struct PlatformLock {
    std::mutex mutex;
};

PlatformLock* lock_Create(void) {
    return new (std::nothrow) PlatformLock();
}
void lock_Acquire(PlatformLock* lock) {
    lock->mutex.lock();
}
int lock_TryAcquire(PlatformLock* lock) {
    return lock->mutex.try_lock() ? 1 : 0;
}
void lock_Release(PlatformLock* lock) {
    lock->mutex.unlock();
}
void lock_Destroy(PlatformLock* lock) { delete lock; }
