// Posted messages through the calling thread's own Win32 queue (PostMessageA, null window).
#include "platform/messages.h"

#include <windows.h>

namespace {

// A thread gets its message queue on its first call of certain user32 functions; a post to a
// thread without one fails with ERROR_INVALID_THREAD_ID. PeekMessageA creates the queue.
void ensureQueue() {
    MSG m;
    PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

}  // namespace

int msg_Post(uint32_t id, intptr_t wParam, intptr_t lParam) {
    if (PostMessageA(nullptr, id, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)))
        return 1;
    ensureQueue();
    return PostMessageA(nullptr, id, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) ? 1
                                                                                               : 0;
}

int msg_Peek(uint32_t* id, intptr_t* wParam, intptr_t* lParam, int remove) {
    MSG m;
    // A window handle of -1 takes only the thread's own messages (those posted without a
    // window), never those of windows the host may have.
    HWND threadOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
    if (!PeekMessageA(&m, threadOnly, 0, 0, remove ? PM_REMOVE : PM_NOREMOVE)) return 0;
    if (id) *id = m.message;
    if (wParam) *wParam = static_cast<intptr_t>(m.wParam);
    if (lParam) *lParam = static_cast<intptr_t>(m.lParam);
    return 1;
}
