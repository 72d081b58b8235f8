// Clock service: every pause and time-out of the library goes through it.
//
// Time runs at real speed, or faster by a scale factor read once from the environment
// variable MODEMFLASH_TIME_SCALE (a number from 1 to 1000000; anything else means 1, with a
// warning), or set by clk_SetScale. The scale shortens every pause and time-out, the ones a
// real modem needs included: it is for simulated modems only, and the library says so on
// standard error when the environment sets one (clk_AnnounceScale). With scale 100 a 20-second
// pause lasts 200 ms and the clock's seconds pass 100 times faster. The clock is steady: calendar
// changes do not move it.
#ifndef MODEMFLASH_PLATFORM_CLOCK_H
#define MODEMFLASH_PLATFORM_CLOCK_H

#include <stddef.h>
#include <stdint.h>

// Pauses the calling thread for ms milliseconds of scaled time.
void clk_SleepMs(uint32_t ms);

// Scaled time since an arbitrary fixed start, in milliseconds and in whole seconds.
int64_t clk_NowMs(void);
int64_t clk_NowSeconds(void);
// The same in microseconds, for records of what happened when (a session's time stamps).
int64_t clk_NowUs(void);

// Scaled milliseconds spent in clk_SleepMs by all threads since the start, for measurements.
int64_t clk_SleptMs(void);

// The same, by the calling thread alone: the pauses of the thread that runs a job, whatever
// other threads (a simulated modem) sleep meanwhile.
int64_t clk_ThreadSleptMs(void);

// Real (unscaled) steady time in microseconds, for measurements.
int64_t clk_RealNowUs(void);
// Pauses the calling thread for us microseconds of real time, whatever the scale: for waits
// on other programs (a file another connection holds locked), not for the modem's pauses.
void clk_RealSleepUs(int64_t us);

// The scale in force, and a way for tests and tools to set it (values below 1 mean 1).
double clk_Scale(void);
void clk_SetScale(double scale);

// The line (without a line break) owed for a MODEMFLASH_TIME_SCALE text: the announcement of
// a scale other than 1 ("time scale N in force: ...") or the warning that the value was
// ignored. Returns 1 and writes the line into out, or 0 (out empty) when none is owed.
int clk_ScaleNotice(const char* text, char* out, size_t capacity);

// Writes the notice for the scale taken from the environment on standard error, once per
// process; the library calls it when a host first reaches it (Create).
void clk_AnnounceScale(void);

#endif
