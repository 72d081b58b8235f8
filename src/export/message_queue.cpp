// The reader of the calling thread's posted messages, exported where the platform has no
// message queue of its own (on Windows hosts read their thread's Win32 queue).
#include "modemflash/messages.h"
#include "platform/messages.h"

extern "C" MODEMFLASH_API int modemflash_PeekMessage(ModemflashMessage* message, int remove) {
    if (message == nullptr) return 0;
    uint32_t id = 0;
    intptr_t w = 0, l = 0;
    if (!msg_Peek(&id, &w, &l, remove)) return 0;
    message->id = id;
    message->wParam = w;
    message->lParam = l;
    return 1;
}
