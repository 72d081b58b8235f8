// Scaled steady clock over QueryPerformanceCounter; pauses with Sleep.
#include "platform/clock.h"

#include <stdlib.h>
#include <windows.h>

namespace {

int64_t realNowUs() {
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

double parseScale(const char* text) {
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 1.0) || v > 1e6) return 1.0;
    return v;
}

// Scaled time is piecewise linear in real time, so that changing the scale never makes the
// clock jump or run backwards.
struct ClockState {
    CRITICAL_SECTION guard;
    double scale;
    int64_t realOriginUs;   // real time at the last change of scale
    double scaledOriginUs;  // scaled time at that moment
    ClockState()
        : scale(parseScale(getenv("MODEMFLASH_TIME_SCALE"))),
          realOriginUs(realNowUs()),
          scaledOriginUs(0) {
        InitializeCriticalSection(&guard);
    }
};

ClockState& state() {
    static ClockState s;
    return s;
}

double scaledNowUs(ClockState& s) {
    return s.scaledOriginUs + static_cast<double>(realNowUs() - s.realOriginUs) * s.scale;
}

class Guard {
  public:
    explicit Guard(ClockState& s) : s_(s) { EnterCriticalSection(&s_.guard); }
    ~Guard() { LeaveCriticalSection(&s_.guard); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    ClockState& s_;
};

}  // namespace

void clk_SleepMs(uint32_t ms) {
    if (ms == 0) {
        Sleep(0);
        return;
    }
    // Sleep counts whole milliseconds (and on Windows often whole scheduler ticks), so the
    // last milliseconds of a pause are spent watching the steady clock pass its end.
    int64_t realUs = static_cast<int64_t>(static_cast<double>(ms) * 1000.0 / clk_Scale());
    int64_t end = realNowUs() + realUs;
    for (;;) {
        int64_t left = end - realNowUs();
        if (left <= 0) break;
        // Sleep may overrun by a scheduler tick, and so may a yield to a busy machine: sleep
        // short, then spin out the last milliseconds.
        if (left >= 3000)
            Sleep(static_cast<DWORD>(left / 1000 - 2));
        else
            YieldProcessor();
    }
}

int64_t clk_NowMs(void) {
    ClockState& s = state();
    Guard g(s);
    return static_cast<int64_t>(scaledNowUs(s) / 1000.0);
}

int64_t clk_NowSeconds(void) {
    return clk_NowMs() / 1000;
}

int64_t clk_RealNowUs(void) {
    return realNowUs();
}

double clk_Scale(void) {
    ClockState& s = state();
    Guard g(s);
    return s.scale;
}

void clk_SetScale(double scale) {
    ClockState& s = state();
    Guard g(s);
    s.scaledOriginUs = scaledNowUs(s);
    s.realOriginUs = realNowUs();
    s.scale = scale >= 1.0 ? scale : 1.0;
}
