// Shared by the modem lock's backends: the holder's details as the lock file keeps them.
#ifndef MODEMFLASH_PLATFORM_COMMON_MODEM_LOCK_TEXT_H
#define MODEMFLASH_PLATFORM_COMMON_MODEM_LOCK_TEXT_H

#include <stddef.h>
#include <stdint.h>

struct ModemLockHolder;

#define MODEM_LOCK_KEY_CAPACITY 96
#define MODEM_LOCK_FILE_CAPACITY 1024  // the holder's details as text, terminator included

// The details as "name=value" lines (pid, started, command, location, serial, port); the
// length written.
size_t modemlock_FormatHolder(const ModemLockHolder* holder, char* out, size_t capacity);
// Reads them back (unknown lines ignored, missing ones empty). 1 when a pid was found.
int modemlock_ParseHolder(const char* text, size_t length, ModemLockHolder* holder);
// The caller's own details, started now.
void modemlock_FillHolder(ModemLockHolder* holder, int64_t pid, const char* command,
                          const char* location, const char* serial, const char* port);

// The lock files this process holds, by path: "this process holds it already" is known from
// here, never from a pid in a file (a pid is reused on Windows, and repeats across containers
// that share a lock folder).
bool modemlock_HeldHere(const char* path);
void modemlock_NoteHeld(const char* path);
void modemlock_NoteReleased(const char* path);

#endif
