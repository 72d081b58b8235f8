#include "platform/dynlib.h"

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {
char g_error[512];
}

DynLib dynlib_Open(const char* path) {
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        const char* e = dlerror();
        snprintf(g_error, sizeof g_error, "%s", e ? e : "cannot load library");
    }
    return lib;
}

void* dynlib_Symbol(DynLib lib, const char* name) {
    void* sym = dlsym(lib, name);
    if (sym == nullptr) snprintf(g_error, sizeof g_error, "no symbol %s", name);
    return sym;
}

void dynlib_Close(DynLib lib) {
    if (lib) dlclose(lib);
}

const char* dynlib_Error(void) {
    return g_error;
}

int dynlib_ExecutableDir(char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity < 2) return 0;
    ssize_t n = readlink("/proc/self/exe", buffer, capacity - 1);
    if (n <= 0 || static_cast<size_t>(n) >= capacity - 1) return 0;
    buffer[n] = '\0';
    char* slash = strrchr(buffer, '/');
    if (slash == nullptr) return 0;
    if (slash == buffer)
        slash[1] = '\0';
    else
        *slash = '\0';
    return 1;
}

const char* dynlib_LibraryFileName(void) {
    return "libmodemflash.so.0";  // the run-time name (soname); the .so link is for linkers
}
