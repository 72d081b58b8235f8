// What the library learnt about the modem during the last Download, for hosts that keep a
// record of their updates (Linux; on Windows the library exports Create alone).
//
// Both calls copy a NUL-terminated text into the caller's buffer and return its length, or
// -1 when there is nothing to copy (or the arguments are bad); a text longer than the buffer
// is cut to capacity - 1 bytes. Call them after Download has returned, on any thread that
// is not running a Download.
#ifndef MODEMFLASH_PORT_RECORD_H
#define MODEMFLASH_PORT_RECORD_H

#include <stddef.h>

#include "modemflash/downloader.h"

#ifdef __cplusplus
extern "C" {
#endif

// The modem's answer to one identification command in one mode (0 modem mode, 1 loader
// mode) during the last Download: command is "AT+GMR", "AT%IFWR", "AT%ICOMPAT" (mode 0),
// "AT%IFLIST" or "AT%CHIPID" (mode 1). -1 when the command did not go out in that mode or
// got no answer. The library sends these once per mode for the life of the process, so a
// second Download in the same process has none.
MODEMFLASH_API int modemflash_InitAnswer(int portIndex, int mode, const char* command, char* text,
                                         size_t capacity);

// The serial port names the last Download's modem had, comma-separated ("COM65,COM66").
MODEMFLASH_API int modemflash_PortNames(int portIndex, char* text, size_t capacity);

typedef int (*InitAnswerFunction)(int portIndex, int mode, const char* command, char* text,
                                  size_t capacity);
typedef int (*PortNamesFunction)(int portIndex, char* text, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
