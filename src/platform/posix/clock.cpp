// Scaled steady clock over CLOCK_MONOTONIC.
#include "platform/clock.h"

#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <mutex>

namespace {

int64_t realNowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
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
    std::mutex mutex;
    double scale;
    int64_t realOriginUs;   // real time at the last change of scale
    double scaledOriginUs;  // scaled time at that moment
    ClockState()
        : scale(parseScale(getenv("MODEMFLASH_TIME_SCALE"))),
          realOriginUs(realNowUs()),
          scaledOriginUs(0) {}
};

ClockState& state() {
    static ClockState s;
    return s;
}

double scaledNowUs(ClockState& s) {
    return s.scaledOriginUs + static_cast<double>(realNowUs() - s.realOriginUs) * s.scale;
}

std::atomic<int64_t> g_sleptMs{0};

}  // namespace

int64_t clk_SleptMs(void) { return g_sleptMs.load(); }

void clk_SleepMs(uint32_t ms) {
    g_sleptMs.fetch_add(ms);
    double realMs = ms / clk_Scale();
    timespec ts;
    ts.tv_sec = static_cast<time_t>(realMs / 1000.0);
    ts.tv_nsec = static_cast<long>((realMs - static_cast<double>(ts.tv_sec) * 1000.0) * 1e6);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t clk_NowMs(void) {
    ClockState& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
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
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.scale;
}

void clk_SetScale(double scale) {
    ClockState& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.scaledOriginUs = scaledNowUs(s);
    s.realOriginUs = realNowUs();
    s.scale = scale >= 1.0 ? scale : 1.0;
}
