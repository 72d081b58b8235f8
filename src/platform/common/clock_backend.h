// What each platform gives the clock service: real steady time and a real pause. The scale,
// the scaled time and the pause statistics are common code (common/clock.cpp).
#ifndef MODEMFLASH_PLATFORM_COMMON_CLOCK_BACKEND_H
#define MODEMFLASH_PLATFORM_COMMON_CLOCK_BACKEND_H

#include <stdint.h>

// Pauses the calling thread for us microseconds of real time (0: give up the processor).
void clk_RealSleepUs(int64_t us);

#endif
