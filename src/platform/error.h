// Error service: the calling thread's last system error, and its text.
#ifndef MODEMFLASH_PLATFORM_ERROR_H
#define MODEMFLASH_PLATFORM_ERROR_H

#include <stddef.h>

// The last error code of the calling thread (GetLastError on Windows, errno on POSIX).
int err_Last(void);
void err_SetLast(int code);

// Writes the system's text for code into buffer (at most capacity bytes, always
// NUL-terminated, trailing line breaks removed) and returns buffer.
char* err_Text(int code, char* buffer, size_t capacity);

#endif
