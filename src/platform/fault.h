// Fault seams: every call of the system services a job leans on can be made to fail at its
// N-th call, in test builds (MODEMFLASH_FAULT_SEAMS), so that a test can walk each failure
// point of a whole update and see it end with a defined result, every port, file, thread and
// handle closed.
//
// Each seam counts its calls from the moment it is armed; the armed call fails as the system
// would fail it (an I/O error, no memory, no thread), once. Without MODEMFLASH_FAULT_SEAMS the
// seams compile to nothing.
#ifndef MODEMFLASH_PLATFORM_FAULT_H
#define MODEMFLASH_PLATFORM_FAULT_H

#include <stdint.h>

enum FaultSeam {
    FAULT_SEAM_SERIAL = 0,      // every serial call on a port (open, settings, read, write...)
    FAULT_SEAM_FILE_OPEN = 1,   // file_Open
    FAULT_SEAM_FILE_READ = 2,   // file_Read
    FAULT_SEAM_FILE_WRITE = 3,  // file_Write
    FAULT_SEAM_REGISTRY = 4,    // every registry call (open, enumerate, query)
    FAULT_SEAM_THREAD = 5,      // thread_Start
    FAULT_SEAM_SQLITE = 6,      // the history store's SQLite calls
    FAULT_SEAM_ALLOC = 7,       // the allocations that have a failure path (mem_Calloc, mem_New)
    FAULT_SEAM_COUNT = 8
};

#if defined(MODEMFLASH_FAULT_SEAMS)

// Counts one call of the seam; 1 when it is the armed one (then it must fail), else 0.
int fault_Hit(int seam);
// Arms the seam: its n-th call from now fails (n 0: none). Clears its count and its fired mark.
void fault_Arm(int seam, int64_t n);
// Calls counted since the seam was last armed, and whether the armed call came.
int64_t fault_Calls(int seam);
int fault_Fired(int seam);
// "serial", "file-open", ...
const char* fault_SeamName(int seam);

#else

static inline int fault_Hit(int) {
    return 0;
}

#endif

#endif
