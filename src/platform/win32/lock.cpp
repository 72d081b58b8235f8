// The lock service over a CRITICAL_SECTION: the win32 thread model of mingw-w64 has no
// std::mutex, and a critical section is what Windows programs use for a process-wide lock.
//
// Unlike std::mutex a critical section may be entered again by the thread that holds it
// (lock_TryAcquire then returns 1). The engine never does this: it takes the lock once and
// releases it before every pause.
#include "platform/lock.h"

#include <windows.h>

#include <new>

#include "platform/common/lock_observer.h"

struct PlatformLock {
    CRITICAL_SECTION section;
};

PlatformLock* lock_Create(void) {
    PlatformLock* lock = new (std::nothrow) PlatformLock();
    if (lock != nullptr) InitializeCriticalSection(&lock->section);
    return lock;
}

void lock_Acquire(PlatformLock* lock) {
    EnterCriticalSection(&lock->section);
    lock_Observe(lock, 1);
}

int lock_TryAcquire(PlatformLock* lock) {
    if (!TryEnterCriticalSection(&lock->section)) return 0;
    lock_Observe(lock, 1);
    return 1;
}

void lock_Release(PlatformLock* lock) {
    lock_Observe(lock, 0);
    LeaveCriticalSection(&lock->section);
}

void lock_Destroy(PlatformLock* lock) {
    if (lock == nullptr) return;
    DeleteCriticalSection(&lock->section);
    delete lock;
}
