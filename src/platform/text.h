// Text encodings at the terminal.
#ifndef MODEMFLASH_PLATFORM_TEXT_H
#define MODEMFLASH_PLATFORM_TEXT_H

#include <stddef.h>
#include <stdio.h>

// 1 when the stream (1 output, 2 error) is a terminal that shows UTF-8.
int text_TerminalIsUtf8(int stream);

// 1 when the user's locale (or, on Windows, the console) takes UTF-8, terminal or not.
int text_LocaleIsUtf8(void);

// Converts GBK bytes (code page 936) into UTF-8 in out (capacity bytes, NUL-terminated).
// Returns the length written, or -1 when the bytes are not GBK or do not fit.
long text_GbkToUtf8(const char* in, size_t length, char* out, size_t capacity);

// A file name as the system's own calls take it (the ANSI code page on Windows, bytes on
// POSIX) in UTF-8, for libraries that take UTF-8 file names (SQLite). Returns the length
// written to out (NUL-terminated), or -1 when it cannot be converted or does not fit.
long text_FileNameToUtf8(const char* in, char* out, size_t capacity);

// Writes text (GBK when gbk is 1, else UTF-8) to the console behind f as the console's own
// characters, whatever its code page: 1 when f is a console and the text went out that way.
// 0 when f is not a console or the platform has no such consoles (POSIX), or the text could
// not be converted: then nothing was written and the caller writes the bytes.
int text_WriteToConsole(FILE* f, const char* text, size_t length, int gbk);

// 1 when the stream (1 output, 2 error) is a console that text_WriteToConsole writes to (a
// Windows console); 0 otherwise, and always on POSIX.
int text_IsConsole(int stream);

#endif
