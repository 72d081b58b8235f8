// Environment through the C runtime, whose _putenv_s also updates the process environment,
// so getenv and child processes see the same values.
#include "platform/env.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

const char* env_Get(const char* name) {
    return name ? getenv(name) : nullptr;
}

int env_Set(const char* name, const char* value) {
    if (name == nullptr || *name == '\0') return 0;
    // An empty value removes the variable on Windows, which has no empty variables.
    return _putenv_s(name, value ? value : "") == 0 ? 1 : 0;
}

int env_IsTerminal(int stream) {
    if (stream != 1 && stream != 2) return 0;
    HANDLE h = GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    // Only a console has a console mode; files and pipes do not.
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? 1 : 0;
}

int env_MachineName(char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return 0;
    snprintf(out, capacity, "%s", name);
    return 1;
}

int env_StateDir(char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    const char* local = getenv("LOCALAPPDATA");
    if (local == nullptr || local[0] == '\0') return 0;
    int n = snprintf(out, capacity, "%s", local);
    return n > 0 && static_cast<size_t>(n) < capacity ? 1 : 0;
}

int env_TerminalControls(int stream) {
    if (stream != 1 && stream != 2) return 0;
    HANDLE h = GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return 0;
    const DWORD vt = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING (Windows 10 and later)
    if (mode & vt) return 1;
    return SetConsoleMode(h, mode | vt) ? 1 : 0;
}
