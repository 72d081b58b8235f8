// Clock service: every pause and time-out of the library goes through it.
//
// Time runs at real speed, or faster by a scale factor read once from the environment
// variable MODEMFLASH_TIME_SCALE (a number >= 1; anything else means 1), or set by
// clk_SetScale. With scale 100 a 20-second pause lasts 200 ms and the clock's seconds pass
// 100 times faster. The clock is steady: calendar changes do not move it.
#ifndef MODEMFLASH_PLATFORM_CLOCK_H
#define MODEMFLASH_PLATFORM_CLOCK_H

#include <stdint.h>

// Pauses the calling thread for ms milliseconds of scaled time.
void clk_SleepMs(uint32_t ms);

// Scaled time since an arbitrary fixed start, in milliseconds and in whole seconds.
int64_t clk_NowMs(void);
int64_t clk_NowSeconds(void);

// Scaled milliseconds spent in clk_SleepMs by all threads since the start, for measurements.
int64_t clk_SleptMs(void);

// Real (unscaled) steady time in microseconds, for measurements.
int64_t clk_RealNowUs(void);

// The scale in force, and a way for tests and tools to set it (values below 1 mean 1).
double clk_Scale(void);
void clk_SetScale(double scale);

#endif
