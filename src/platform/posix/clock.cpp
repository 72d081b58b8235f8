// Real steady time over CLOCK_MONOTONIC, pauses with nanosleep.
#include "platform/clock.h"

#include <errno.h>
#include <time.h>

#include "platform/common/clock_backend.h"

int64_t clk_RealNowUs(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void clk_RealSleepUs(int64_t us) {
    if (us < 0) us = 0;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(us / 1000000);
    ts.tv_nsec = static_cast<long>(us % 1000000) * 1000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
