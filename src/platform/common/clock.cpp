// The scaled clock: real steady time from the platform, run faster by the scale factor.
#include "platform/clock.h"

#include <stdlib.h>

#include <atomic>

#include "platform/common/clock_backend.h"
#include "platform/lock.h"

namespace {

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
    PlatformLock* lock;
    double scale;
    int64_t realOriginUs;   // real time at the last change of scale
    double scaledOriginUs;  // scaled time at that moment
    ClockState()
        : lock(lock_Create()),
          scale(parseScale(getenv("MODEMFLASH_TIME_SCALE"))),
          realOriginUs(clk_RealNowUs()),
          scaledOriginUs(0) {}
};

class Guard {
  public:
    explicit Guard(ClockState& s) : s_(s) { lock_Acquire(s_.lock); }
    ~Guard() { lock_Release(s_.lock); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    ClockState& s_;
};

ClockState& state() {
    static ClockState s;
    return s;
}

double scaledNowUs(ClockState& s) {
    return s.scaledOriginUs + static_cast<double>(clk_RealNowUs() - s.realOriginUs) * s.scale;
}

std::atomic<int64_t> g_sleptMs{0};

}  // namespace

void clk_SleepMs(uint32_t ms) {
    g_sleptMs.fetch_add(ms);
    clk_RealSleepUs(static_cast<int64_t>(static_cast<double>(ms) * 1000.0 / clk_Scale()));
}

int64_t clk_SleptMs(void) {
    return g_sleptMs.load();
}

int64_t clk_NowMs(void) {
    ClockState& s = state();
    Guard g(s);
    return static_cast<int64_t>(scaledNowUs(s) / 1000.0);
}

int64_t clk_NowSeconds(void) {
    return clk_NowMs() / 1000;
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
    s.realOriginUs = clk_RealNowUs();
    s.scale = scale >= 1.0 ? scale : 1.0;
}
