// Loading the library like any host: LoadLibraryA and GetProcAddress.
#include "platform/dynlib.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "platform/error.h"

namespace {

char g_error[512];

void setError(const char* what, const char* name) {
    int code = static_cast<int>(GetLastError());
    char text[256];
    err_Text(code, text, sizeof text);
    snprintf(g_error, sizeof g_error, "%s %s: %s (error %d)", what, name ? name : "", text, code);
}

}  // namespace

DynLib dynlib_Open(const char* path) {
    if (path == nullptr) return nullptr;
    HMODULE lib = LoadLibraryA(path);
    if (lib == nullptr) setError("cannot load", path);
    return reinterpret_cast<DynLib>(lib);
}

void* dynlib_Symbol(DynLib lib, const char* name) {
    if (lib == nullptr || name == nullptr) return nullptr;
    FARPROC sym = GetProcAddress(static_cast<HMODULE>(lib), name);
    if (sym == nullptr) setError("no symbol", name);
    return reinterpret_cast<void*>(sym);
}

void dynlib_Close(DynLib lib) {
    if (lib) FreeLibrary(static_cast<HMODULE>(lib));
}

const char* dynlib_Error(void) {
    return g_error;
}

int dynlib_ExecutableDir(char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity < 2) return 0;
    DWORD size = capacity > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(capacity);
    DWORD n = GetModuleFileNameA(nullptr, buffer, size);
    // n == size means the name was cut.
    if (n == 0 || n >= size) return 0;
    char* slash = nullptr;
    for (char* p = buffer; *p; ++p)
        if (*p == '\\' || *p == '/') slash = p;
    if (slash == nullptr) return 0;
    if (slash == buffer || (slash == buffer + 2 && buffer[1] == ':'))
        slash[1] = '\0';  // keep the root: "C:\"
    else
        *slash = '\0';
    return 1;
}

const char* dynlib_LibraryFileName(void) {
    return "modemflash.dll";
}
