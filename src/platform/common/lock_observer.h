// What each platform's lock service calls so that a lock observer (lock.h) sees every hold.
#ifndef MODEMFLASH_PLATFORM_COMMON_LOCK_OBSERVER_H
#define MODEMFLASH_PLATFORM_COMMON_LOCK_OBSERVER_H

#include "platform/lock.h"

// Tells the observer, if one is set, that lock was just taken (1) or is about to be
// released (0).
void lock_Observe(PlatformLock* lock, int acquired);

#endif
