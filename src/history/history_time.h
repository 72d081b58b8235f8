// Calendar time for the update history: UTC milliseconds since 1970, and their texts. The
// conversions are our own arithmetic (no C library time zone state), so any thread may use
// them.
#ifndef MODEMFLASH_HISTORY_HISTORY_TIME_H
#define MODEMFLASH_HISTORY_HISTORY_TIME_H

#include <stdint.h>

#include <string>

// Now, in UTC milliseconds since 1970.
int64_t history_NowMs();

// "2026-12-08T10:05:15.123Z"
std::string history_IsoTime(int64_t ms);
// "2026-12-08 10:05:15", for tables
std::string history_ShortTime(int64_t ms);
// "20261208T100515Z", for file names
std::string history_FileStamp(int64_t ms);
// "1.2 s", "3 min 04 s", "1 h 02 min"
std::string history_Duration(int64_t ms);

// Reads a --since value: a UTC date or time ("2026-12-08", "2026-12-08 10:05",
// "2026-12-08T10:05:15Z") or an age counted back from nowMs ("90m", "36h", "7d", "45s").
// True with *ms set; false for anything else.
bool history_ParseSince(const std::string& text, int64_t nowMs, int64_t* ms);

#endif
