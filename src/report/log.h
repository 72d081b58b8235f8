// Logging by port and level.
//
// log_Error prints on standard error when the port's logLevel is 2 or more; log_Info prints
// on standard output when it is 1 or more. Each entry is one formatted write and a flush.
// Optionally a hook receives every entry, and a per-port log file keeps them with a time
// stamp (see log_SetHook, log_OpenFile).
#ifndef MODEMFLASH_REPORT_LOG_H
#define MODEMFLASH_REPORT_LOG_H

#include <stddef.h>

#include "engine/at.h"  // MF_PRINTF

#define LOG_ENTRY_MAX 16384  // longest entry handed to the hook, terminator included

void log_Error(int port, const char* format, ...) MF_PRINTF(2, 3);
void log_Info(int port, const char* format, ...) MF_PRINTF(2, 3);

// Receives every log_Error entry whatever the level, and every log_Info entry at level 1 or
// more, as one text of at most LOG_ENTRY_MAX bytes. While a hook is set, log_Info leaves
// standard output alone. isError is 1 for log_Error entries.
typedef void (*LogHook)(void* user, int port, int isError, const char* text);
void log_SetHook(LogHook hook, void* user);

// Opens (appending) a log file for the port that receives the same entries as the hook, each
// prefixed by the local time ("%.24s: " of ctime) with its leading line breaks removed, and
// flushed after every entry. 1 on success. log_CloseFile closes it.
int log_OpenFile(int port, const char* path);
void log_CloseFile(int port);

#endif
