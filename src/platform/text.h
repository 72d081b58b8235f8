// Text encodings at the terminal.
#ifndef MODEMFLASH_PLATFORM_TEXT_H
#define MODEMFLASH_PLATFORM_TEXT_H

#include <stddef.h>

// 1 when the stream (1 output, 2 error) is a terminal that shows UTF-8.
int text_TerminalIsUtf8(int stream);

// 1 when the user's locale (or, on Windows, the console) takes UTF-8, terminal or not.
int text_LocaleIsUtf8(void);

// Converts GBK bytes (code page 936) into UTF-8 in out (capacity bytes, NUL-terminated).
// Returns the length written, or -1 when the bytes are not GBK or do not fit.
long text_GbkToUtf8(const char* in, size_t length, char* out, size_t capacity);

#endif
