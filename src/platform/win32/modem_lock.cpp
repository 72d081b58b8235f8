// Modem locks on Windows: a named mutex per modem, the holder's details in a file beside.
//
// The system abandons a mutex whose owner ends, so a holder that is killed leaves no lock
// behind; the next taker is told it took over (WAIT_ABANDONED) and reads the details the old
// holder left. The mutex is global (all sessions) where the system allows it, else local to
// the session.
#include "platform/modem_lock.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <new>

#include "platform/common/modem_lock_text.h"

struct ModemLock {
    HANDLE mutex;
    char path[MAX_PATH];  // the details file, emptied at release
};

namespace {

bool rootPath(char* out, size_t capacity) {
    const char* root = getenv("MODEMFLASH_LOCK_ROOT");
    int n;
    if (root != nullptr && *root) {
        n = snprintf(out, capacity, "%s", root);
    } else {
        const char* data = getenv("ProgramData");
        if (data == nullptr || *data == '\0') data = getenv("TEMP");
        if (data == nullptr || *data == '\0') return false;
        n = snprintf(out, capacity, "%s\\modemflash\\locks", data);
    }
    return n > 0 && static_cast<size_t>(n) < capacity;
}

void makeRoot(const char* root) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s", root);
    for (char* p = path + 3; *p; ++p) {
        if (*p != '\\' && *p != '/') continue;
        char c = *p;
        *p = '\0';
        CreateDirectoryA(path, nullptr);
        *p = c;
    }
    CreateDirectoryA(path, nullptr);
}

bool names(const char* location, const char* serial, const char* port, char* mutexName,
           size_t mutexCapacity, char* file, size_t fileCapacity, bool global) {
    char key[MODEM_LOCK_KEY_CAPACITY];
    char root[MAX_PATH];
    if (!modemlock_Key(location, serial, port, key, sizeof key) || !rootPath(root, sizeof root))
        return false;
    snprintf(mutexName, mutexCapacity, "%s\\modemflash-%s", global ? "Global" : "Local", key);
    int n = snprintf(file, fileCapacity, "%s\\%s.lock", root, key);
    return n > 0 && static_cast<size_t>(n) < fileCapacity;
}

void readHolder(const char* path, ModemLockHolder* holder) {
    if (holder == nullptr) return;
    memset(holder, 0, sizeof *holder);
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    char text[MODEM_LOCK_FILE_CAPACITY];
    DWORD n = 0;
    if (!ReadFile(f, text, sizeof text - 1, &n, nullptr)) n = 0;
    CloseHandle(f);
    text[n] = '\0';
    modemlock_ParseHolder(text, n, holder);
}

void writeFile(const char* path, const char* text, size_t length) {
    HANDLE f = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD n = 0;
    if (length > 0) WriteFile(f, text, static_cast<DWORD>(length), &n, nullptr);
    CloseHandle(f);
}

// The named mutex, global when the system allows it.
HANDLE openMutex(const char* location, const char* serial, const char* port, bool create,
                 char* file, size_t fileCapacity) {
    char name[MAX_PATH];
    for (int global = 1; global >= 0; --global) {
        if (!names(location, serial, port, name, sizeof name, file, fileCapacity, global != 0))
            return nullptr;
        HANDLE h = create ? CreateMutexA(nullptr, FALSE, name)
                          : OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
        if (h != nullptr) return h;
        if (GetLastError() != ERROR_ACCESS_DENIED) return nullptr;
    }
    return nullptr;
}

}  // namespace

int modemlock_Root(char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    return rootPath(out, capacity) ? 1 : 0;
}

int modemlock_Acquire(const char* location, const char* serial, const char* port, ModemLock** lock,
                      ModemLockHolder* holder) {
    if (lock != nullptr) *lock = nullptr;
    if (holder != nullptr) memset(holder, 0, sizeof *holder);
    if (lock == nullptr) return MODEM_LOCK_FAILED;
    char root[MAX_PATH];
    if (!rootPath(root, sizeof root)) return MODEM_LOCK_FAILED;
    makeRoot(root);
    char file[MAX_PATH];
    HANDLE m = openMutex(location, serial, port, true, file, sizeof file);
    if (m == nullptr) return MODEM_LOCK_FAILED;
    DWORD w = WaitForSingleObject(m, 0);
    // The details are read once the wait has told: a holder that released in between is no
    // holder that ended without releasing.
    ModemLockHolder before;
    readHolder(file, &before);
    if (w == WAIT_TIMEOUT) {
        CloseHandle(m);
        if (holder != nullptr) *holder = before;
        return modemlock_HeldHere(file) ? MODEM_LOCK_OURS : MODEM_LOCK_HELD;
    }
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
        CloseHandle(m);
        return MODEM_LOCK_FAILED;
    }
    // A mutex is taken again by the thread that owns it: then this process holds it already.
    if (w == WAIT_OBJECT_0 && modemlock_HeldHere(file)) {
        ReleaseMutex(m);
        CloseHandle(m);
        if (holder != nullptr) *holder = before;
        return MODEM_LOCK_OURS;
    }
    ModemLockHolder mine;
    modemlock_FillHolder(&mine, static_cast<int64_t>(GetCurrentProcessId()), GetCommandLineA(),
                         location, serial, port);
    char text[MODEM_LOCK_FILE_CAPACITY];
    size_t length = modemlock_FormatHolder(&mine, text, sizeof text);
    writeFile(file, text, length);
    ModemLock* l = new (std::nothrow) ModemLock;
    if (l == nullptr) {
        ReleaseMutex(m);
        CloseHandle(m);
        return MODEM_LOCK_FAILED;
    }
    l->mutex = m;
    snprintf(l->path, sizeof l->path, "%s", file);
    modemlock_NoteHeld(l->path);
    *lock = l;
    if (w == WAIT_ABANDONED || before.pid > 0) {
        if (holder != nullptr) *holder = before;
        return MODEM_LOCK_TAKEN_OVER;
    }
    return MODEM_LOCK_TAKEN;
}

void modemlock_Release(ModemLock* lock) {
    if (lock == nullptr) return;
    modemlock_NoteReleased(lock->path);
    writeFile(lock->path, "", 0);
    ReleaseMutex(lock->mutex);
    CloseHandle(lock->mutex);
    delete lock;
}

int modemlock_Query(const char* location, const char* serial, const char* port,
                    ModemLockHolder* holder) {
    if (holder != nullptr) memset(holder, 0, sizeof *holder);
    char file[MAX_PATH];
    HANDLE m = openMutex(location, serial, port, false, file, sizeof file);
    if (m == nullptr) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    DWORD w = WaitForSingleObject(m, 0);
    int held = 0;
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) {
        ReleaseMutex(m);
    } else if (w == WAIT_TIMEOUT) {
        ModemLockHolder h;
        readHolder(file, &h);
        held = modemlock_HeldHere(file) ? 0 : 1;
        if (holder != nullptr) *holder = h;
    } else {
        held = -1;
    }
    CloseHandle(m);
    return held;
}
