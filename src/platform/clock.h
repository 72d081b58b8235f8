// Clock service: every pause and time-out of the library goes through it.
//
// Time runs at real speed, or faster by a scale factor. With scale 100 a 20-second pause lasts
// 200 ms and the clock's seconds pass 100 times faster. The clock is steady: calendar changes
// do not move it.
//
// The scale shortens every pause and time-out, the ones a real modem needs included, so a
// scale that is only asked for can never reach a real modem: the environment variable
// MODEMFLASH_TIME_SCALE (read once; a number from 1 to 1000000, anything else means 1 with a
// warning) and clk_RequestScale ask for one. An asked-for scale is in force until the first
// port is opened, and then only for as long as every port opened is a simulated modem's
// (clk_ScaleForPort, which the engine calls after each open): the first port of any other
// device puts the process back to real time for good, with a warning. clk_SetScale, for tests,
// benchmarks and the simulated modem itself, sets the scale outright.
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

// The scale in force, and a way for tests and tools to set it outright (values below 1 mean
// 1; any scale asked for before, and its refusal, are forgotten).
double clk_Scale(void);
void clk_SetScale(double scale);

// Asks for a scale for simulated modems only (see above); it replaces the environment's.
void clk_RequestScale(double scale);
// The scale asked for (by the environment or clk_RequestScale) and not refused, or 1.
double clk_RequestedScale(void);
// Called when portName has been opened: simulated is 1 when the port is a simulated modem's.
// Keeps an asked-for scale for a simulated modem's port; for any other port puts the clock at
// real speed for the rest of the process and says so once on standard error. Nothing happens
// when no scale was asked for. Returns the scale in force afterwards.
double clk_ScaleForPort(int simulated, const char* portName);

// The line (without a line break) owed for a MODEMFLASH_TIME_SCALE text: the announcement of
// a scale other than 1 ("time scale N in force: ...") or the warning that the value was
// ignored. Returns 1 and writes the line into out, or 0 (out empty) when none is owed.
int clk_ScaleNotice(const char* text, char* out, size_t capacity);

// Writes the notice for the scale asked for (the environment's, or clk_RequestScale's) on
// standard error, once per process; the library calls it when a host first reaches it
// (Create).
void clk_AnnounceScale(void);

#endif
