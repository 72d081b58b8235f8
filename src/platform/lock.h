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

#endif
