// Logging by port and level, with an optional hook and per-port log file.
#include "report/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include "engine/port_context.h"
#include "platform/file.h"

namespace {

LogHook g_hook = nullptr;
void* g_hookUser = nullptr;
FILE* g_files[PORT_CONTEXT_COUNT];

void toFile(int port, const char* text) {
    FILE* f = g_files[port];
    if (f == nullptr) return;
    time_t now = time(nullptr);
    char stamp[32];
    const char* c = ctime(&now);
    snprintf(stamp, sizeof stamp, "%.24s", c ? c : "");
    while (*text == '\n') ++text;
    fprintf(f, "%s: %s", stamp, text);
    fflush(f);
}

// Hands the entry to the hook and the port's file, when there are any.
void toSideChannels(int port, int isError, const char* format, va_list args) {
    if (g_hook == nullptr && g_files[port] == nullptr) return;
    static thread_local char text[LOG_ENTRY_MAX];
    vsnprintf(text, sizeof text, format, args);
    if (g_hook) g_hook(g_hookUser, port, isError, text);
    toFile(port, text);
}

}  // namespace

void log_Error(int port, const char* format, ...) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr || format == nullptr) return;
    va_list args;
    va_start(args, format);
    if (c->logLevel >= 2) {
        va_list copy;
        va_copy(copy, args);
        vfprintf(stderr, format, copy);
        va_end(copy);
        fflush(stderr);
    }
    toSideChannels(port, 1, format, args);
    va_end(args);
}

void log_Info(int port, const char* format, ...) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr || format == nullptr || c->logLevel < 1) return;
    va_list args;
    va_start(args, format);
    if (g_hook == nullptr) {
        va_list copy;
        va_copy(copy, args);
        vfprintf(stdout, format, copy);
        va_end(copy);
        fflush(stdout);
    }
    toSideChannels(port, 0, format, args);
    va_end(args);
}

void log_SetHook(LogHook hook, void* user) {
    g_hook = hook;
    g_hookUser = user;
}

int log_OpenFile(int port, const char* path) {
    if (ctx_Get(port) == nullptr || path == nullptr) return 0;
    log_CloseFile(port);
    g_files[port] = file_Open(path, "ab");
    return g_files[port] != nullptr ? 1 : 0;
}

void log_CloseFile(int port) {
    if (ctx_Get(port) == nullptr || g_files[port] == nullptr) return;
    fclose(g_files[port]);
    g_files[port] = nullptr;
}
