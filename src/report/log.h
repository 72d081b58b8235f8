// Logging by port and level.
//
// log_Error prints on standard error when the port's logLevel is 2 or more; log_Info prints
// on standard output when it is 1 or more. Each entry is one formatted write and a flush.
// Optionally a hook receives every entry, and a per-port log file keeps them with a time
// stamp (see log_SetHook, log_OpenFile).
//
// Several ports at once: every write of the log to a standard stream or a log file happens
// under one output lock, so entries of different ports never mix inside each other. A port
// with a label (report_SetLabel) is written line by line, each line as "[label] text": its
// blank lines are dropped, and the unfinished end of an entry is held until a later entry of
// the same port ends the line (or log_FlushPort writes it), so no other port's line can land
// in the middle of it. A port without a label is written as before, entry by entry.
//
// On the standard streams an entry identical to the one the port showed last there is not
// shown again: "(the line above came N more times)" follows once a different entry comes, or
// at log_FlushPort. The hook and the log file receive every entry.
#ifndef MODEMFLASH_REPORT_LOG_H
#define MODEMFLASH_REPORT_LOG_H

#include <stddef.h>

#include "report/port_report.h"
#include "report/printf_format.h"

#define LOG_ENTRY_MAX 16384  // longest entry handed to the hook, terminator included
#define LOG_LINE_MAX 1024    // longest labelled line; a longer one is written in pieces

void log_Error(int port, const char* format, ...) MF_PRINTF(2, 3);
void log_Info(int port, const char* format, ...) MF_PRINTF(2, 3);

// The serial channel's and the AT exchange's own failure lines: on standard error when the
// port's comVerbosity is above 1 (minVerbosity 2), or above 2 for the read trace
// (minVerbosity 3). The port's log file receives them too (the read trace excepted); the
// hook does not.
void log_Channel(int port, int minVerbosity, const char* format, ...) MF_PRINTF(3, 4);

// Receives every log_Error entry whatever the level, and every log_Info entry at level 1 or
// more, as one text of at most LOG_ENTRY_MAX bytes. While a hook is set, log_Info leaves
// standard output alone. isError is 1 for log_Error entries. The hook runs on the thread
// that logs, outside the output lock; entries of several ports may reach it at once.
typedef void (*LogHook)(void* user, int port, int isError, const char* text);
void log_SetHook(LogHook hook, void* user);

// Which standard streams the log writes at all (LOG_CONSOLE_* bits; all at load). A host
// that draws its own display turns them off and keeps the log in the hook or the files.
#define LOG_CONSOLE_INFO 1   // log_Info on standard output
#define LOG_CONSOLE_ERROR 2  // log_Error and log_Channel on standard error
#define LOG_CONSOLE_ALL 3
void log_SetConsole(int streams);

// Opens (appending) a log file for the port that receives the same entries as the hook, each
// prefixed by the local time ("%.24s: " of ctime) with its leading line breaks removed, and
// flushed after every entry. 1 on success. log_CloseFile closes it.
int log_OpenFile(int port, const char* path);
void log_CloseFile(int port);

// Rewrites each entry before it goes to a log file (log_OpenFile): the host's choice of the
// files' encoding (the standard streams and the hook get the engine's bytes as they are). fn
// writes the entry's new text into out (at most capacity bytes, no terminator needed) and
// returns its length; null, as at load, writes the entries as they are. fn runs on the
// logging thread under the output lock: it must not log.
typedef size_t (*LogFileText)(const char* text, size_t length, char* out, size_t capacity);
void log_SetFileText(LogFileText fn);

// Writes the partial lines held for a labelled port (each ended with a line break) and the
// count of the repeats not shown.
void log_FlushPort(int port);

#endif
