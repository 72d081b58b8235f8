// Modem locks on POSIX: one file per modem in the lock folder, held with flock.
//
// flock belongs to the open file and ends with the process, so a holder that is killed leaves
// no lock behind, only its details in the file: the next taker reads them and says that it
// took over. A file is never removed (a remover could free a lock that a third process is
// just taking through the old file); a release empties it. A taker checks that the file it
// locked is still the one the folder names, in case another program removed it meanwhile.
#include "platform/modem_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "platform/common/modem_lock_text.h"
#include "platform/memory.h"

struct ModemLock {
    int fd;
    char path[4096];  // the lock file, as this process's own holdings name it
};

namespace {

const char kDefaultRoot[] = "/run/lock/modemflash";

bool rootPath(char* out, size_t capacity) {
    const char* root = getenv("MODEMFLASH_LOCK_ROOT");
    int n;
    if (root != nullptr && *root) {
        n = snprintf(out, capacity, "%s", root);
    } else if (const char* dev = getenv("MODEMFLASH_DEV_ROOT"); dev != nullptr && *dev) {
        n = snprintf(out, capacity, "%s/.locks", dev);  // a moved device tree has its own
    } else {
        n = snprintf(out, capacity, "%s", kDefaultRoot);
    }
    return n > 0 && static_cast<size_t>(n) < capacity;
}

// Makes the folder (and its parents) if it is missing; one made here is open to every user,
// sticky as /tmp, so that each user's updates lock the same modems.
bool makeRoot(const char* root) {
    struct stat st;
    if (stat(root, &st) == 0) return S_ISDIR(st.st_mode);
    char path[4096];
    snprintf(path, sizeof path, "%s", root);
    for (char* p = path + 1; *p; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        if (mkdir(path, 0755) != 0 && errno != EEXIST) return false;
        *p = '/';
    }
    if (mkdir(path, 01777) != 0 && errno != EEXIST) return false;
    (void)chmod(path, 01777);
    return stat(root, &st) == 0 && S_ISDIR(st.st_mode);
}

bool filePath(const char* location, const char* serial, const char* port, char* out,
              size_t capacity, bool make) {
    char root[4096];
    char key[MODEM_LOCK_KEY_CAPACITY];
    if (!rootPath(root, sizeof root) || !modemlock_Key(location, serial, port, key, sizeof key)) {
        errno = EINVAL;
        return false;
    }
    if (make && !makeRoot(root)) return false;
    int n = snprintf(out, capacity, "%s/%s.lock", root, key);
    if (n <= 0 || static_cast<size_t>(n) >= capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

void readHolder(int fd, ModemLockHolder* holder) {
    if (holder == nullptr) return;
    char text[MODEM_LOCK_FILE_CAPACITY];
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n < 0) n = 0;
    text[n] = '\0';
    modemlock_ParseHolder(text, static_cast<size_t>(n), holder);
}

void commandLine(char* out, size_t capacity) {
    out[0] = '\0';
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = read(fd, out, capacity - 1);
    close(fd);
    if (n <= 0) {
        out[0] = '\0';
        return;
    }
    out[n] = '\0';
    while (n > 0 && out[n - 1] == '\0') --n;
    for (ssize_t i = 0; i < n; ++i)
        if (out[i] == '\0') out[i] = ' ';
}

bool sameFile(int fd, const char* path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
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
    if (lock == nullptr) {
        errno = EINVAL;
        return MODEM_LOCK_FAILED;
    }
    char path[4096];
    if (!filePath(location, serial, port, path, sizeof path, true)) return MODEM_LOCK_FAILED;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0) return MODEM_LOCK_FAILED;
        (void)fchmod(fd, 0666);  // another user's update must be able to take it later
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            ModemLockHolder h;
            readHolder(fd, &h);
            close(fd);
            if (e != EWOULDBLOCK) {
                errno = e;
                return MODEM_LOCK_FAILED;
            }
            if (holder != nullptr) *holder = h;
            return modemlock_HeldHere(path) ? MODEM_LOCK_OURS : MODEM_LOCK_HELD;
        }
        if (!sameFile(fd, path)) {  // removed while we took it: take the one there now
            close(fd);
            continue;
        }
        ModemLockHolder before;
        readHolder(fd, &before);
        ModemLockHolder mine;
        char command[MODEM_LOCK_TEXT_CAPACITY];
        commandLine(command, sizeof command);
        modemlock_FillHolder(&mine, static_cast<int64_t>(getpid()), command, location, serial,
                             port);
        char text[MODEM_LOCK_FILE_CAPACITY];
        size_t length = modemlock_FormatHolder(&mine, text, sizeof text);
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text, length, 0) != static_cast<ssize_t>(length)) {
            // The lock holds even when its details cannot be written.
        }
        ModemLock* l = mem_New<ModemLock>();
        if (l == nullptr) {
            close(fd);
            errno = ENOMEM;
            return MODEM_LOCK_FAILED;
        }
        l->fd = fd;
        snprintf(l->path, sizeof l->path, "%s", path);
        modemlock_NoteHeld(l->path);
        *lock = l;
        if (before.pid > 0) {
            if (holder != nullptr) *holder = before;
            return MODEM_LOCK_TAKEN_OVER;
        }
        return MODEM_LOCK_TAKEN;
    }
    errno = EAGAIN;
    return MODEM_LOCK_FAILED;
}

void modemlock_Release(ModemLock* lock) {
    if (lock == nullptr) return;
    modemlock_NoteReleased(lock->path);
    if (ftruncate(lock->fd, 0) != 0) {
        // A file that keeps the details reads as a stale lock to the next taker: harmless.
    }
    close(lock->fd);  // ends the flock
    delete lock;
}

int modemlock_Query(const char* location, const char* serial, const char* port,
                    ModemLockHolder* holder) {
    if (holder != nullptr) memset(holder, 0, sizeof *holder);
    char path[4096];
    if (!filePath(location, serial, port, path, sizeof path, false)) return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    int held = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
    } else if (errno == EWOULDBLOCK) {
        ModemLockHolder h;
        readHolder(fd, &h);
        held = modemlock_HeldHere(path) ? 0 : 1;
        if (holder != nullptr) *holder = h;
    } else {
        held = -1;
    }
    close(fd);
    return held;
}
