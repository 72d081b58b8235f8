// Console control events counted by a handler (which Windows runs on a thread of its own)
// that sets an event a waiting thread blocks on.
#include "platform/interrupt.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<int> g_count{0};
HANDLE g_event = nullptr;  // auto-reset; set by the handler, waited on by sig_Wait

BOOL WINAPI onControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            g_count.fetch_add(1);
            SetEvent(g_event);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

int sig_Install(void) {
    static std::once_flag once;
    static int installed = 0;
    std::call_once(once, [] {
        g_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        installed = g_event != nullptr && SetConsoleCtrlHandler(onControl, TRUE);
    });
    return installed;
}

int sig_Count(void) {
    return g_count.load();
}

int sig_Wait(int seen, int timeoutMs) {
    if (g_count.load() > seen || g_event == nullptr) return g_count.load();
    WaitForSingleObject(g_event, timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs));
    return g_count.load();
}

void sig_ExitNow(int status) {
    fflush(nullptr);
    _exit(status);
}
