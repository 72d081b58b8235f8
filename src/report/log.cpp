// Logging by port and level, with an optional hook and per-port log file.
#include "report/log.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "platform/file.h"
#include "platform/lock.h"

namespace {

// The output lock. It guards what the log shares between the threads of several ports: the
// standard streams as the log writes them, the hook and its user pointer, the console
// switch, the per-port log files and their text rewriter, the partial lines held for labelled
// ports, and the labels themselves. Held only while writing; never while a hook runs.
PlatformLock* const g_outputLock = lock_Create();

LogHook g_hook = nullptr;
void* g_hookUser = nullptr;
int g_console = LOG_CONSOLE_ALL;
FILE* g_files[REPORT_PORT_COUNT];
LogFileText g_fileText = nullptr;

// The unfinished line of a labelled port, per stream (0 standard output, 1 standard error).
struct PendingLine {
    char text[LOG_LINE_MAX];
    size_t length;
};
PendingLine g_pending[REPORT_PORT_COUNT][2];

// The console's last entry per port and stream, to fold repeats: an entry identical to the
// one before it on the console is counted instead of shown, and the count is shown when a
// different entry comes (or log_FlushPort runs). Files and the hook keep every entry.
struct ConsoleFold {
    uint64_t hash;  // FNV-1a of the last entry shown
    size_t length;  // its length; 0 when none
    long repeats;   // identical entries since, not shown
};
ConsoleFold g_fold[REPORT_PORT_COUNT][2];

uint64_t hashOf(const char* text, size_t length) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < length; ++i)
        h = (h ^ static_cast<unsigned char>(text[i])) * 1099511628211ull;
    return h;
}

FILE* streamOf(int stream) {
    return stream ? stderr : stdout;
}

void writeLine(int port, int stream, PendingLine* p) {
    if (p->length > 0)
        fprintf(streamOf(stream), "[%s] %.*s\n", report_Port(port)->label,
                static_cast<int>(p->length), p->text);
    p->length = 0;
}

// Writes text for a port on a stream (lock held): as it is without a label, else line by
// line with the label in front, the unfinished end held for the port's next entry.
void emit(int port, int stream, const char* text) {
    FILE* out = streamOf(stream);
    if (report_Port(port)->label[0] == '\0') {
        fputs(text, out);
        fflush(out);
        return;
    }
    PendingLine* p = &g_pending[port][stream];
    for (const char* c = text; *c; ++c) {
        if (*c == '\n') {
            writeLine(port, stream, p);
        } else if (*c != '\r') {
            if (p->length == sizeof p->text) writeLine(port, stream, p);
            p->text[p->length++] = *c;
        }
    }
    fflush(out);
}

// Lock held: writes the count of the repeats not shown, if any.
void foldNote(int port, int stream) {
    ConsoleFold* f = &g_fold[port][stream];
    if (f->repeats == 0) return;
    char note[96];
    snprintf(note, sizeof note, "(the line above came %ld more time%s)\n", f->repeats,
             f->repeats == 1 ? "" : "s");
    f->repeats = 0;
    emit(port, stream, note);
}

// Lock held: whether the console shows text (an entry of the port on stream), false when it
// repeats the entry shown last there (counted for foldNote).
bool foldShows(int port, int stream, const char* text) {
    ConsoleFold* f = &g_fold[port][stream];
    size_t length = strlen(text);
    uint64_t hash = hashOf(text, length);
    if (length > 0 && f->length == length && f->hash == hash) {
        ++f->repeats;
        return false;
    }
    foldNote(port, stream);
    f->hash = hash;
    f->length = length;
    return true;
}

void toFile(int port, const char* text) {
    FILE* f = g_files[port];
    if (f == nullptr) return;
    time_t now = time(nullptr);
    char stamp[32];
    const char* c = ctime(&now);  // its static text is only ever used under the output lock
    snprintf(stamp, sizeof stamp, "%.24s", c ? c : "");
    while (*text == '\n') ++text;
    // Through the file seam: a failing write costs the log its line, never the update.
    if (file_Write(stamp, 1, strlen(stamp), f) == strlen(stamp)) {
        file_Write(": ", 1, 2, f);
        size_t length = strlen(text);
        if (g_fileText != nullptr) {
            // The host's encoding: a GBK character takes at most three bytes in UTF-8.
            static thread_local char rewritten[LOG_ENTRY_MAX * 3];
            size_t n = g_fileText(text, length, rewritten, sizeof rewritten);
            file_Write(rewritten, 1, n < sizeof rewritten ? n : sizeof rewritten, f);
        } else {
            file_Write(text, 1, length, f);
        }
    }
    fflush(f);
}

// One entry of log_Error (isError 1) or log_Info (0).
void entry(int port, int isError, const char* format, va_list args) {
    PortReport* r = report_Port(port);
    if (r == nullptr || format == nullptr) return;
    if (!isError && r->logLevel < 1) return;
    static thread_local char text[LOG_ENTRY_MAX];
    LogHook hook;
    void* hookUser;
    {
        LockGuard guard(g_outputLock);
        hook = g_hook;
        hookUser = g_hookUser;
        bool console = isError
                           ? r->logLevel >= 2 && (g_console & LOG_CONSOLE_ERROR) && !r->consoleQuiet
                           : hook == nullptr && (g_console & LOG_CONSOLE_INFO);
        bool labelled = r->label[0] != '\0';
        bool formatted = false;
        if (console) {
            va_list copy;
            va_copy(copy, args);
            vsnprintf(text, sizeof text, format, copy);
            va_end(copy);
            console = foldShows(port, isError, text);
        }
        if (console && !labelled) {
            // As the single-modem engine always wrote: one formatted write, whatever its length.
            va_list copy;
            va_copy(copy, args);
            vfprintf(streamOf(isError), format, copy);
            va_end(copy);
            fflush(streamOf(isError));
        }
        if ((console && labelled) || hook != nullptr || g_files[port] != nullptr) {
            va_list copy;
            va_copy(copy, args);
            vsnprintf(text, sizeof text, format, copy);
            va_end(copy);
            formatted = true;
            if (console && labelled) emit(port, isError, text);
            toFile(port, text);
        }
        if (!formatted) return;
    }
    if (hook != nullptr) hook(hookUser, port, isError, text);
}

}  // namespace

void log_Error(int port, const char* format, ...) {
    va_list args;
    va_start(args, format);
    entry(port, 1, format, args);
    va_end(args);
}

void log_Info(int port, const char* format, ...) {
    va_list args;
    va_start(args, format);
    entry(port, 0, format, args);
    va_end(args);
}

void log_Channel(int port, int minVerbosity, const char* format, ...) {
    PortReport* r = report_Port(port);
    if (r == nullptr || format == nullptr || r->comVerbosity < minVerbosity) return;
    char text[LOG_LINE_MAX];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LockGuard guard(g_outputLock);
    if ((g_console & LOG_CONSOLE_ERROR) && !r->consoleQuiet && foldShows(port, 1, text))
        emit(port, 1, text);
    if (minVerbosity <= 2) toFile(port, text);
}

void log_SetHook(LogHook hook, void* user) {
    LockGuard guard(g_outputLock);
    g_hook = hook;
    g_hookUser = user;
}

void log_SetFileText(LogFileText fn) {
    LockGuard guard(g_outputLock);
    g_fileText = fn;
}

void log_SetConsole(int streams) {
    LockGuard guard(g_outputLock);
    g_console = streams & LOG_CONSOLE_ALL;
}

int log_OpenFile(int port, const char* path) {
    if (report_Port(port) == nullptr || path == nullptr) return 0;
    FILE* f = file_Open(path, "ab");
    LockGuard guard(g_outputLock);
    if (g_files[port] != nullptr) fclose(g_files[port]);
    g_files[port] = f;
    return f != nullptr ? 1 : 0;
}

void log_CloseFile(int port) {
    if (report_Port(port) == nullptr) return;
    LockGuard guard(g_outputLock);
    if (g_files[port] == nullptr) return;
    fclose(g_files[port]);
    g_files[port] = nullptr;
}

void log_FlushPort(int port) {
    if (report_Port(port) == nullptr) return;
    LockGuard guard(g_outputLock);
    for (int stream = 0; stream < 2; ++stream) {
        foldNote(port, stream);
        g_fold[port][stream].length = 0;
        if (g_pending[port][stream].length == 0) continue;
        writeLine(port, stream, &g_pending[port][stream]);
        fflush(streamOf(stream));
    }
}

void report_SetLabel(int port, const char* label) {
    PortReport* r = report_Port(port);
    if (r == nullptr) return;
    log_FlushPort(port);
    LockGuard guard(g_outputLock);
    memset(r->label, 0, sizeof r->label);
    if (label != nullptr) {
        size_t n = strlen(label);
        memcpy(r->label, label, n < sizeof r->label - 1 ? n : sizeof r->label - 1);
    }
}
