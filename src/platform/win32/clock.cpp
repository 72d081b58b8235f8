// Real steady time over QueryPerformanceCounter; pauses with Sleep.
#include "platform/clock.h"

#include <windows.h>

#include "platform/common/clock_backend.h"

int64_t clk_RealNowUs(void) {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);  // never fails on Windows XP and later
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    int64_t ticks = static_cast<int64_t>(c.QuadPart);
    // Split to keep ticks * 1000000 from overflowing after long uptimes.
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

void clk_RealSleepUs(int64_t us) {
    if (us <= 0) {
        Sleep(0);
        return;
    }
    // Sleep counts whole milliseconds (and on Windows often whole scheduler ticks), and so may
    // a yield to a busy machine overrun: sleep short, then spin out the last milliseconds
    // watching the steady clock pass the pause's end.
    int64_t end = clk_RealNowUs() + us;
    for (;;) {
        int64_t left = end - clk_RealNowUs();
        if (left <= 0) break;
        if (left >= 3000)
            Sleep(static_cast<DWORD>(left / 1000 - 2));
        else
            YieldProcessor();
    }
}
