// Console control events counted by a handler (which Windows runs on a thread of its own)
// that sets an event a waiting thread blocks on.
#include "platform/interrupt.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <atomic>
#include <mutex>

namespace {

const int kWatchPollMs = 50;  // how often the watch looks at its stop flag
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

namespace {

// The watch: its thread, and what it calls. Only sig_Watch and sig_Unwatch (one caller at a
// time, by contract) touch these, besides the thread itself reading them.
HANDLE g_watchThread = nullptr;
std::atomic<bool> g_stopWatch{false};
InterruptCallback g_callback = nullptr;
void* g_user = nullptr;
int g_watchStart = 0;

DWORD WINAPI watchLoop(LPVOID) {
    int seen = g_watchStart;
    while (!g_stopWatch.load()) {
        int now = sig_Wait(seen, kWatchPollMs);
        while (seen < now && !g_stopWatch.load()) g_callback(g_user, ++seen);
    }
    return 0;
}

}  // namespace

int sig_Watch(InterruptCallback callback, void* user) {
    if (g_watchThread != nullptr || callback == nullptr) return 0;
    g_callback = callback;
    g_user = user;
    g_watchStart = g_count.load();
    g_stopWatch.store(false);
    g_watchThread = CreateThread(nullptr, 0, watchLoop, nullptr, 0, nullptr);
    return g_watchThread != nullptr ? 1 : 0;
}

void sig_Unwatch(void) {
    if (g_watchThread == nullptr) return;
    g_stopWatch.store(true);
    WaitForSingleObject(g_watchThread, INFINITE);
    CloseHandle(g_watchThread);
    g_watchThread = nullptr;
}

void sig_ExitNow(int status) {
    fflush(nullptr);
    _exit(status);
}
