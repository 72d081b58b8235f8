// Memory service: the allocations whose failure the code handles, through the allocation
// fault seam (platform/fault.h), so that tests can make them fail.
#ifndef MODEMFLASH_PLATFORM_MEMORY_H
#define MODEMFLASH_PLATFORM_MEMORY_H

#include <stddef.h>
#include <stdlib.h>

#include <new>
#include <utility>

#include "platform/fault.h"

// calloc, or null when it fails (or the seam makes it fail).
inline void* mem_Calloc(size_t count, size_t size) {
    if (fault_Hit(FAULT_SEAM_ALLOC)) return nullptr;
    return calloc(count, size);
}

// new (std::nothrow) T{args...}, or null.
template <typename T, typename... Args>
T* mem_New(Args&&... args) {
    if (fault_Hit(FAULT_SEAM_ALLOC)) return nullptr;
    return new (std::nothrow) T{std::forward<Args>(args)...};
}

// Hands the memory freed so far back to the system where the allocator keeps it: called after
// each update, so that a process that runs update after update stays at the size of one.
void mem_ReturnFreed(void);

// Keeps the allocator to two arenas for the whole process (glibc; elsewhere nothing). Each
// thread that allocates at the same time as another may otherwise get an arena of its own,
// up to eight per core, each keeping what its threads freed: a station whose modems' threads
// come and go for days would grow to that many. Its threads wait on serial ports, not on the
// allocator. For a host program to call before its first thread; a library leaves it alone.
void mem_FewArenas(void);

#endif
