#include "platform/error.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

int err_Last(void) {
    return errno;
}
void err_SetLast(int code) {
    errno = code;
}

char* err_Text(int code, char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return buffer;
    char text[256];
    // The GNU and XSI variants differ in their result; both leave a text we can use.
    const char* s = text;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    s = strerror_r(code, text, sizeof text);
#else
    if (strerror_r(code, text, sizeof text) != 0) snprintf(text, sizeof text, "error %d", code);
#endif
    snprintf(buffer, capacity, "%s", s);
    size_t n = strlen(buffer);
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r')) buffer[--n] = '\0';
    return buffer;
}
