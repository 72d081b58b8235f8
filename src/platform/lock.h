// Lock service: a process-wide mutual-exclusion lock, created free.
#ifndef MODEMFLASH_PLATFORM_LOCK_H
#define MODEMFLASH_PLATFORM_LOCK_H

typedef struct PlatformLock PlatformLock;

// Creates a free lock; null when out of memory.
PlatformLock* lock_Create(void);
// Waits without a time limit until the lock is the caller's.
void lock_Acquire(PlatformLock* lock);
// Takes the lock if it is free; 1 when taken, 0 when another holder has it.
int lock_TryAcquire(PlatformLock* lock);
// Releases a lock the caller holds.
void lock_Release(PlatformLock* lock);
// Frees a lock nobody holds (the engine's own lock lives as long as the process).
void lock_Destroy(PlatformLock* lock);

// Test seam. While an observer is set, it is called on the holder's thread with acquired = 1
// right after any lock is taken (lock_Acquire, or lock_TryAcquire that took it) and with
// acquired = 0 right before it is released, so that a test can check what happens while the
// engine's lock is held. Null removes it. It must not take the lock it is told about.
typedef void (*LockObserver)(void* user, PlatformLock* lock, int acquired);
void lock_SetObserver(LockObserver observer, void* user);

#ifdef __cplusplus
// Holds a lock for a scope: every path out of it releases the lock. A null lock (out of
// memory when it was created) holds nothing.
class LockGuard {
  public:
    explicit LockGuard(PlatformLock* lock) : lock_(lock) {
        if (lock_) lock_Acquire(lock_);
    }
    ~LockGuard() {
        if (lock_) lock_Release(lock_);
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    PlatformLock* lock_;
};
#endif

#endif
