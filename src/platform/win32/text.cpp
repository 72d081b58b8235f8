// Terminal encodings on Windows: the console's output code page, and the system's converters.
#include "platform/text.h"

#include <io.h>
#include <windows.h>

int text_TerminalIsUtf8(int stream) {
    if (stream != 1 && stream != 2) return 0;
    HANDLE h = GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return 0;
    return GetConsoleOutputCP() == CP_UTF8 ? 1 : 0;
}

int text_LocaleIsUtf8(void) {
    return GetConsoleOutputCP() == CP_UTF8 || GetACP() == CP_UTF8 ? 1 : 0;
}

long text_GbkToUtf8(const char* in, size_t length, char* out, size_t capacity) {
    if (in == nullptr || out == nullptr || capacity == 0 || length > 0x100000) return -1;
    if (length == 0) {
        out[0] = '\0';
        return 0;
    }
    int n = static_cast<int>(length);
    int wide = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, in, n, nullptr, 0);
    if (wide <= 0) return -1;
    WCHAR* w = new WCHAR[static_cast<size_t>(wide)];
    MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, in, n, w, wide);
    int room = capacity - 1 > 0x7fffffff ? 0x7fffffff : static_cast<int>(capacity - 1);
    int written = WideCharToMultiByte(CP_UTF8, 0, w, wide, out, room, nullptr, nullptr);
    delete[] w;
    if (written <= 0) return -1;
    out[written] = '\0';
    return written;
}

int text_WriteToConsole(FILE* f, const char* text, size_t length, int gbk) {
    if (f == nullptr || text == nullptr || length == 0 || length > 0x100000) return 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return 0;
    UINT from = gbk ? 936 : CP_UTF8;
    int n = static_cast<int>(length);
    int wide = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, n, nullptr, 0);
    if (wide <= 0) return 0;
    WCHAR* w = new WCHAR[static_cast<size_t>(wide)];
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, n, w, wide);
    fflush(f);  // what the stream holds goes first
    DWORD written = 0;
    BOOL ok = WriteConsoleW(h, w, static_cast<DWORD>(wide), &written, nullptr);
    delete[] w;
    return ok ? 1 : 0;
}

int text_IsConsole(int stream) {
    if (stream != 1 && stream != 2) return 0;
    HANDLE h = GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? 1 : 0;
}

long text_FileNameToUtf8(const char* in, char* out, size_t capacity) {
    if (in == nullptr || out == nullptr || capacity == 0) return -1;
    if (*in == '\0') {
        out[0] = '\0';
        return 0;
    }
    int wide = MultiByteToWideChar(CP_ACP, 0, in, -1, nullptr, 0);
    if (wide <= 0) return -1;
    WCHAR* w = new WCHAR[static_cast<size_t>(wide)];
    MultiByteToWideChar(CP_ACP, 0, in, -1, w, wide);
    int room = capacity > 0x7fffffff ? 0x7fffffff : static_cast<int>(capacity);
    int written = WideCharToMultiByte(CP_UTF8, 0, w, wide, out, room, nullptr, nullptr);
    delete[] w;
    return written > 0 ? written - 1 : -1;  // the count includes the terminator
}
