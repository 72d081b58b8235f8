// Reading the posted messages on platforms without a system message queue (Linux).
//
// The library posts every progress and text message into the queue of the thread that
// called Download. On Windows that is the thread's own Win32 queue (PeekMessageA with a null
// window). Elsewhere the library keeps one queue per thread, read with this call from the
// same thread that ran Download.
#ifndef MODEMFLASH_MESSAGES_H
#define MODEMFLASH_MESSAGES_H

#include <stdint.h>

#include "modemflash/downloader.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ModemflashMessage {
    uint32_t id;      // MSG_DL_PROGRESS, MSG_DL_STATUS, MSG_DL_RESULT or MSG_DL_INFO
    intptr_t wParam;  // port index
    intptr_t lParam;  // percentage, or address of the library's text slot
} ModemflashMessage;

// Takes the oldest message of the calling thread's queue into *message. With remove = 0 the
// message stays queued. Returns 1 when a message was there, 0 when the queue is empty.
MODEMFLASH_API int modemflash_PeekMessage(ModemflashMessage* message, int remove);

typedef int (*PeekMessageFunction)(ModemflashMessage* message, int remove);

#ifdef __cplusplus
}
#endif

#endif
