// The thread's last Win32 error and the system's text for it.
#include "platform/error.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

int err_Last(void) {
    return static_cast<int>(GetLastError());
}
void err_SetLast(int code) {
    SetLastError(static_cast<DWORD>(code));
}

char* err_Text(int code, char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return buffer;
    buffer[0] = '\0';
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n == 0 || text == nullptr) {
        snprintf(buffer, capacity, "error %d", code);
        return buffer;
    }
    // Cut to the buffer without splitting a double-byte character of the ANSI code page.
    size_t limit = capacity - 1;
    size_t i = 0;
    while (i < n && text[i] != '\0') {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[i])) && i + 1 < n ? 2 : 1;
        if (i + step > limit) break;
        i += step;
    }
    memcpy(buffer, text, i);
    buffer[i] = '\0';
    LocalFree(text);
    while (i > 0 && (buffer[i - 1] == '\n' || buffer[i - 1] == '\r')) buffer[--i] = '\0';
    return buffer;
}
