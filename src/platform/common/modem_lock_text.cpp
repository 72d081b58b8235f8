// What both systems' modem locks share: the key of a modem, the holder's details as the lock
// file keeps them, and the holder in words.
#include "platform/common/modem_lock_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <set>
#include <string>

#include "platform/lock.h"
#include "platform/modem_lock.h"

namespace {

bool safe(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '.' || c == '_';
}

void copyField(char* to, size_t capacity, const char* from, size_t length) {
    size_t n = length < capacity - 1 ? length : capacity - 1;
    memcpy(to, from, n);
    to[n] = '\0';
}

// A value written on one line: line breaks become blanks.
void putLine(char* out, size_t capacity, size_t* used, const char* name, const char* value) {
    if (*used >= capacity) return;
    int n = snprintf(out + *used, capacity - *used, "%s=", name);
    if (n < 0) return;
    *used += static_cast<size_t>(n);
    for (const char* p = value; *p && *used + 2 < capacity; ++p)
        out[(*used)++] = (*p == '\n' || *p == '\r') ? ' ' : *p;
    if (*used + 1 < capacity) out[(*used)++] = '\n';
    out[*used < capacity ? *used : capacity - 1] = '\0';
}

}  // namespace

int modemlock_Key(const char* location, const char* serial, const char* port, char* out,
                  size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = '\0';
    const char* prefix = nullptr;
    const char* value = nullptr;
    if (location != nullptr && *location) {
        prefix = "usb-";
        value = location;
    } else if (serial != nullptr && *serial) {
        prefix = "serial-";
        value = serial;
    } else if (port != nullptr && *port) {
        prefix = "port-";
        value = port;
    } else {
        return 0;
    }
    size_t need = strlen(prefix) + strlen(value);
    if (need + 1 > capacity || need + 1 > MODEM_LOCK_KEY_CAPACITY) return 0;
    snprintf(out, capacity, "%s%s", prefix, value);
    for (char* p = out + strlen(prefix); *p; ++p)
        if (!safe(*p)) *p = '_';
    return 1;
}

size_t modemlock_FormatHolder(const ModemLockHolder* h, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = '\0';
    size_t used = 0;
    char number[32];
    snprintf(number, sizeof number, "%lld", static_cast<long long>(h->pid));
    putLine(out, capacity, &used, "pid", number);
    snprintf(number, sizeof number, "%lld", static_cast<long long>(h->startedAt));
    putLine(out, capacity, &used, "started", number);
    putLine(out, capacity, &used, "command", h->command);
    putLine(out, capacity, &used, "location", h->location);
    putLine(out, capacity, &used, "serial", h->serial);
    putLine(out, capacity, &used, "port", h->port);
    return used;
}

int modemlock_ParseHolder(const char* text, size_t length, ModemLockHolder* h) {
    memset(h, 0, sizeof *h);
    size_t at = 0;
    while (at < length) {
        size_t end = at;
        while (end < length && text[end] != '\n') ++end;
        const char* line = text + at;
        size_t n = end - at;
        const char* eq = static_cast<const char*>(memchr(line, '=', n));
        if (eq != nullptr) {
            size_t nameLength = static_cast<size_t>(eq - line);
            const char* value = eq + 1;
            size_t valueLength = n - nameLength - 1;
            char number[32];
            copyField(number, sizeof number, value, valueLength);
            if (nameLength == 3 && memcmp(line, "pid", 3) == 0)
                h->pid = strtoll(number, nullptr, 10);
            if (nameLength == 7 && memcmp(line, "started", 7) == 0)
                h->startedAt = strtoll(number, nullptr, 10);
            if (nameLength == 7 && memcmp(line, "command", 7) == 0)
                copyField(h->command, sizeof h->command, value, valueLength);
            if (nameLength == 8 && memcmp(line, "location", 8) == 0)
                copyField(h->location, sizeof h->location, value, valueLength);
            if (nameLength == 6 && memcmp(line, "serial", 6) == 0)
                copyField(h->serial, sizeof h->serial, value, valueLength);
            if (nameLength == 4 && memcmp(line, "port", 4) == 0)
                copyField(h->port, sizeof h->port, value, valueLength);
        }
        at = end + 1;
    }
    return h->pid > 0 ? 1 : 0;
}

void modemlock_FillHolder(ModemLockHolder* h, int64_t pid, const char* command,
                          const char* location, const char* serial, const char* port) {
    memset(h, 0, sizeof *h);
    h->pid = pid;
    h->startedAt = static_cast<int64_t>(time(nullptr));
    snprintf(h->command, sizeof h->command, "%s", command ? command : "");
    snprintf(h->location, sizeof h->location, "%s", location ? location : "");
    snprintf(h->serial, sizeof h->serial, "%s", serial ? serial : "");
    snprintf(h->port, sizeof h->port, "%s", port ? port : "");
}

char* modemlock_Describe(const ModemLockHolder* h, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return out;
    out[0] = '\0';
    if (h == nullptr) return out;
    char since[48] = "";
    if (h->startedAt > 0) {
        time_t t = static_cast<time_t>(h->startedAt);
        struct tm utc;
#if defined(_WIN32)
        gmtime_s(&utc, &t);
#else
        gmtime_r(&t, &utc);
#endif
        strftime(since, sizeof since, " since %Y-%m-%d %H:%M:%S UTC", &utc);
    }
    if (h->pid > 0)
        snprintf(out, capacity, "process %lld%s%s%s%s", static_cast<long long>(h->pid),
                 h->command[0] ? " (" : "", h->command, h->command[0] ? ")" : "", since);
    else
        snprintf(out, capacity, "another process%s", since);
    return out;
}

namespace {

// Guards heldHere(): the lock files this process's jobs hold, taken and released on their
// threads. Made at the first use (a null lock, out of memory, holds nothing).
PlatformLock* heldLock() {
    static PlatformLock* lock = lock_Create();
    return lock;
}
std::set<std::string>& heldHere() {
    static std::set<std::string> held;
    return held;
}

}  // namespace

bool modemlock_HeldHere(const char* path) {
    LockGuard g(heldLock());
    return heldHere().count(path) > 0;
}

void modemlock_NoteHeld(const char* path) {
    LockGuard g(heldLock());
    heldHere().insert(path);
}

void modemlock_NoteReleased(const char* path) {
    LockGuard g(heldLock());
    heldHere().erase(path);
}
