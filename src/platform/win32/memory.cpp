// Memory service, Windows part: handing freed memory back to the system.
#include "platform/memory.h"

#include <malloc.h>

void mem_ReturnFreed(void) {
    _heapmin();
}

void mem_FewArenas(void) {}
