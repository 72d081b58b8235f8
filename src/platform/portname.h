// Port naming: how "COM<n>" names map to the platform's devices.
//
// On Windows COM<n> is the device \\.\COM<n> itself. On POSIX the mapping is
//   ttyS<k>   <-> COM<k+1>    (k = 0..31)
//   ttyUSB<k> <-> COM<33+k>   (k = 0..31)
//   ttyACM<k> <-> COM<65+k>   (k = 0..190)
// and devices are looked up under the directory in MODEMFLASH_DEV_ROOT (default /dev).
#ifndef MODEMFLASH_PLATFORM_PORTNAME_H
#define MODEMFLASH_PLATFORM_PORTNAME_H

#include <stddef.h>

// The COM number of a tty name such as "ttyACM0" (no directory), or 0 when it has none.
int portname_ComNumberOfTty(const char* ttyName);

// The tty name of a COM number into buffer; 1 on success, 0 when the number has no tty
// name or the buffer is too small.
int portname_TtyOfComNumber(int comNumber, char* buffer, size_t capacity);

// The COM number of a name "COM<n>" (any case, n in 1..255), or 0.
int portname_ParseCom(const char* name);

// The device path to open for name into buffer: for "COM<n>" the device the mapping gives
// (POSIX) or "\\.\COM<n>" (Windows); any other name unchanged. 1 on success, 0 when it
// does not fit or has no device.
int portname_DevicePath(const char* name, char* buffer, size_t capacity);

// The device directory in force (MODEMFLASH_DEV_ROOT or the platform default).
const char* portname_DevRoot(void);

#endif
