// The scaled clock: real steady time from the platform, run faster by the scale factor.
#include "platform/clock.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#include "platform/common/clock_backend.h"
#include "platform/lock.h"

namespace {

const double kMaxScale = 1e6;

// The scale a MODEMFLASH_TIME_SCALE text asks for; 0 when it asks for none that is taken.
double takenScale(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !isfinite(v) || v < 1.0 || v > kMaxScale) return 0;
    return v;
}

double parseScale(const char* text) {
    double v = takenScale(text);
    return v > 0 ? v : 1.0;
}

// Scaled time is piecewise linear in real time, so that changing the scale never makes the
// clock jump or run backwards.
// The lock guards every field: any thread may read the clock or change its scale.
struct ClockState {
    PlatformLock* lock;
    // The scale asked for as text (MODEMFLASH_TIME_SCALE at first use, or clk_RequestScale's),
    // cut, for the notice.
    char askedText[64];
    double asked;           // the scale asked for; 0 when none (or set outright)
    bool refused;           // a port that is no simulated modem's was opened meanwhile
    double scale;           // in force
    int64_t realOriginUs;   // real time at the last change of scale
    double scaledOriginUs;  // scaled time at that moment
    ClockState()
        : lock(lock_Create()),
          askedText(),
          asked(0),
          refused(false),
          scale(1.0),
          realOriginUs(0),
          scaledOriginUs(0) {
        const char* env = getenv("MODEMFLASH_TIME_SCALE");
        snprintf(askedText, sizeof askedText, "%s", env ? env : "");
        asked = takenScale(askedText);  // the scale and its notice read the same text
        scale = parseScale(askedText);
        realOriginUs = clk_RealNowUs();
    }
};

ClockState& state() {
    static ClockState s;
    return s;
}

double scaledNowUs(ClockState& s) {
    return s.scaledOriginUs + static_cast<double>(clk_RealNowUs() - s.realOriginUs) * s.scale;
}

std::atomic<int64_t> g_sleptMs{0};
thread_local int64_t t_sleptMs = 0;
std::atomic<bool> g_announced{false};

}  // namespace

void clk_SleepMs(uint32_t ms) {
    g_sleptMs.fetch_add(ms);
    t_sleptMs += ms;
    clk_RealSleepUs(static_cast<int64_t>(static_cast<double>(ms) * 1000.0 / clk_Scale()));
}

int64_t clk_SleptMs(void) {
    return g_sleptMs.load();
}

int64_t clk_ThreadSleptMs(void) {
    return t_sleptMs;
}

int clk_ScaleNotice(const char* text, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = '\0';
    if (text == nullptr || *text == '\0') return 0;
    double v = takenScale(text);
    if (v == 1.0) return 0;
    if (v > 0) {
        snprintf(out, capacity,
                 "time scale %g in force: pauses and time-outs are %g times shorter; for "
                 "simulated modems only",
                 v, v);
    } else {
        snprintf(out, capacity,
                 "time scale \"%.32s\" ignored: not a number from 1 to %.0f; pauses and "
                 "time-outs keep their real length",
                 text, kMaxScale);
    }
    return 1;
}

void clk_AnnounceScale(void) {
    if (g_announced.exchange(true)) return;
    // The environment as the clock read it at its first use: the scale in force.
    char notice[192];
    char asked[64];
    {
        ClockState& s = state();
        LockGuard g(s.lock);
        snprintf(asked, sizeof asked, "%s", s.askedText);
    }
    if (clk_ScaleNotice(asked, notice, sizeof notice)) {
        fprintf(stderr, "%s\n", notice);
        fflush(stderr);
    }
}

int64_t clk_NowMs(void) {
    ClockState& s = state();
    LockGuard g(s.lock);
    return static_cast<int64_t>(scaledNowUs(s) / 1000.0);
}

int64_t clk_NowUs(void) {
    ClockState& s = state();
    LockGuard g(s.lock);
    return static_cast<int64_t>(scaledNowUs(s));
}

int64_t clk_NowSeconds(void) {
    return clk_NowMs() / 1000;
}

double clk_Scale(void) {
    ClockState& s = state();
    LockGuard g(s.lock);
    return s.scale;
}

namespace {

// Lock held.
void changeScale(ClockState& s, double scale) {
    s.scaledOriginUs = scaledNowUs(s);
    s.realOriginUs = clk_RealNowUs();
    s.scale = scale >= 1.0 ? scale : 1.0;
}

}  // namespace

void clk_SetScale(double scale) {
    ClockState& s = state();
    LockGuard g(s.lock);
    s.asked = 0;
    s.askedText[0] = '\0';
    s.refused = false;
    changeScale(s, scale);
}

void clk_RequestScale(double scale) {
    ClockState& s = state();
    LockGuard g(s.lock);
    s.asked = scale >= 1.0 && scale <= kMaxScale ? scale : 0;
    snprintf(s.askedText, sizeof s.askedText, "%g", s.asked > 0 ? s.asked : 1.0);
    if (!s.refused) changeScale(s, s.asked > 0 ? s.asked : 1.0);
}

double clk_RequestedScale(void) {
    ClockState& s = state();
    LockGuard g(s.lock);
    return s.asked > 0 && !s.refused ? s.asked : 1.0;
}

double clk_ScaleForPort(int simulated, const char* portName) {
    ClockState& s = state();
    bool refusedNow = false;
    double asked, inForce;
    {
        LockGuard g(s.lock);
        asked = s.asked;
        if (asked > 1.0 && !s.refused && !simulated) {
            s.refused = refusedNow = true;
            changeScale(s, 1.0);
        }
        inForce = s.scale;
    }
    if (refusedNow) {
        fprintf(stderr,
                "time scale %g refused: %s is not a simulated modem's port; pauses and time-outs "
                "keep their real length from now on\n",
                asked, portName ? portName : "the port");
        fflush(stderr);
    }
    return inForce;
}
