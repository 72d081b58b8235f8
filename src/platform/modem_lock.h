// Modem lock service: one update per modem, across the processes of the machine.
//
// A modem is locked by where it is plugged in (its USB location), or by its USB serial number
// when no location is known, or else by its port's name. Whoever holds a modem's lock updates
// it, from the probe to the last check, through every mode switch and reopen; any other
// program that asks is told who holds it (process, command, since when). A holder that ends
// without releasing (killed, crashed) leaves no lock behind: the system frees it with the
// process, and the next taker is told that it took over a stale one.
//
// POSIX: a lock folder with one file per modem, `flock` on the file (the holder's details
// written into it); the folder is MODEMFLASH_LOCK_ROOT, else <MODEMFLASH_DEV_ROOT>/.locks when
// the device tree is moved (its locations are that tree's own), else /run/lock/modemflash.
// Windows: a named mutex per modem ("Global\modemflash-<key>"; abandoned when its holder
// ends), the holder's details in a file of the lock folder (MODEMFLASH_LOCK_ROOT, else
// %ProgramData%\modemflash\locks).
//
// A Windows mutex belongs to the thread that took it: release a lock on that thread.
#ifndef MODEMFLASH_PLATFORM_MODEM_LOCK_H
#define MODEMFLASH_PLATFORM_MODEM_LOCK_H

#include <stddef.h>
#include <stdint.h>

typedef struct ModemLock ModemLock;

#define MODEM_LOCK_TEXT_CAPACITY 256
#define MODEM_LOCK_NAME_CAPACITY 64

// Who holds (or held) a modem's lock.
struct ModemLockHolder {
    int64_t pid;        // its process; 0 when not known
    int64_t startedAt;  // when it took the lock, seconds since 1970 (UTC); 0 when not known
    char command[MODEM_LOCK_TEXT_CAPACITY];   // its command line, words separated by blanks
    char location[MODEM_LOCK_NAME_CAPACITY];  // what it locked: the modem's USB location,
    char serial[MODEM_LOCK_NAME_CAPACITY];    // serial number
    char port[MODEM_LOCK_NAME_CAPACITY];      // and port name, as it gave them
};

enum ModemLockResult {
    MODEM_LOCK_FAILED = -1,     // the lock could not be kept (folder or system refused; errno)
    MODEM_LOCK_HELD = 0,        // another process holds it: holder says which
    MODEM_LOCK_TAKEN = 1,       // the caller holds it now
    MODEM_LOCK_TAKEN_OVER = 2,  // the caller holds it now; holder is the process that held it
                                // before and ended without releasing it
    MODEM_LOCK_OURS = 3         // this process holds it already (another part of it took it):
                                // nothing to release
};

// The key of a modem: "usb-<location>", else "serial-<serial>", else "port-<port>", every
// character unsafe in a file or object name replaced by '_'. 1 with the key in out, 0 when
// all three are empty or it does not fit.
int modemlock_Key(const char* location, const char* serial, const char* port, char* out,
                  size_t capacity);

// Takes the modem's lock without waiting. On MODEM_LOCK_TAKEN and MODEM_LOCK_TAKEN_OVER *lock
// is the lock to release; otherwise *lock is null. holder (may be null) receives the
// holder's details for MODEM_LOCK_HELD and MODEM_LOCK_TAKEN_OVER (pid 0 when it left none).
int modemlock_Acquire(const char* location, const char* serial, const char* port, ModemLock** lock,
                      ModemLockHolder* holder);

// Releases and frees a lock (null: nothing).
void modemlock_Release(ModemLock* lock);

// Whether another process holds the modem's lock now, without taking it: 1 held (holder
// filled when not null), 0 free (also when only this process holds it), -1 it cannot be
// told.
int modemlock_Query(const char* location, const char* serial, const char* port,
                    ModemLockHolder* holder);

// The lock folder in force, into out. 1 on success.
int modemlock_Root(char* out, size_t capacity);

// The holder in words: "process 4242 (modemflash flash /fw) since 2024-05-01 10:00:03 UTC".
char* modemlock_Describe(const ModemLockHolder* holder, char* out, size_t capacity);

#endif
