// Message service: posting to the calling thread's own message queue, never waiting.
#ifndef MODEMFLASH_PLATFORM_MESSAGES_H
#define MODEMFLASH_PLATFORM_MESSAGES_H

#include <stdint.h>

// Posts (id, wParam, lParam) to the calling thread's queue as a thread message (no window).
// Returns 1 when posted, 0 when the queue refused it.
int msg_Post(uint32_t id, intptr_t wParam, intptr_t lParam);

// Takes the oldest message of the calling thread's queue (leaving it there unless remove).
// Returns 1 when there was one, 0 when the queue is empty. On Windows this reads the thread's
// Win32 queue (PeekMessageA with a null window, thread messages only).
int msg_Peek(uint32_t* id, intptr_t* wParam, intptr_t* lParam, int remove);

#endif
