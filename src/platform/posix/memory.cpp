// Memory service, POSIX part: handing freed memory back to the system.
#include "platform/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void mem_ReturnFreed(void) {
#if defined(__GLIBC__)
    // The allocator keeps the memory an update freed for later allocations, at the high-water
    // mark of the busiest update so far: a station that runs for days would hold it for good.
    malloc_trim(0);
#endif
}

void mem_FewArenas(void) {
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, 2);
#endif
}
