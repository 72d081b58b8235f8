// The serial tap: what went on the wire, told by the serial service as it happens.
//
// While a tap is set, every serial call (serial.h) that did something on a port tells it,
// on the calling thread, after the call and before it returns: the opens (also the failed
// ones) and closes, line settings, time-outs, queue sizes, event masks and purges, every
// write with the bytes given and the count written, every read that brought bytes or failed,
// and the moment a handle is found gone. Reads that brought nothing are not told (the engine
// polls every 10 ms). A session recorder sets it; the serial service only calls it.
//
// The tap runs inside the transfer's loop: it must return quickly, allocate nothing per call
// it can avoid, and never call the serial service itself. One tap for the process; calls
// for different ports come from their own threads at the same time.
//
// The library loaded by `modemflash flash` has a serial service of its own, so it exports
// modemflash_SetSerialTap (Linux; the Windows DLL's table stays Create alone) for the host
// program built with it: SERIAL_TAP_VERSION guards against a library of another build.
#ifndef MODEMFLASH_PLATFORM_SERIAL_TAP_H
#define MODEMFLASH_PLATFORM_SERIAL_TAP_H

#include <stddef.h>
#include <stdint.h>

#include "platform/serial.h"

#define SERIAL_TAP_VERSION 1

enum SerialTapOp {
    SERIAL_TAP_OPEN = 1,    // name, flags; port null when it failed (error, absent)
    SERIAL_TAP_CLOSE,       // result 1 closed, 0 refused
    SERIAL_TAP_TIMEOUTS,    // timeouts; result 1 / 0
    SERIAL_TAP_LINE,        // line; result 1 / 0
    SERIAL_TAP_QUEUES,      // value = in bytes, value2 = out bytes; result 1 / 0
    SERIAL_TAP_EVENT_MASK,  // value = the mask; result 1 / 0
    SERIAL_TAP_PURGE,       // flags = SERIAL_PURGE_*; result 1 / 0
    SERIAL_TAP_WRITE,       // data, count given; result written or -1
    SERIAL_TAP_READ,        // data (result bytes), count asked; result > 0 or -1
    SERIAL_TAP_GONE         // the device behind the handle has gone (told once a handle)
};

struct SerialTapEvent {
    int op;                  // SerialTapOp
    SerialHandle port;       // the handle (the same from open to close); null for a failed open
    const char* name;        // open: the name given; else null
    int flags;               // open: SERIAL_OPEN_*; purge: SERIAL_PURGE_*
    int result;              // the call's result (open: 1 opened, 0 failed)
    int error;               // failed: the system's error code (errno, or GetLastError)
    int absent;              // open failed because no such device; read/write: the device is gone
    const void* data;        // write: the bytes given; read: the bytes read
    size_t count;            // write: count given; read: capacity asked
    uint32_t value;          // queues: in bytes; event mask: the mask
    uint32_t value2;         // queues: out bytes
    const SerialLine* line;  // line: the settings asked for
    const SerialTimeouts* timeouts;  // timeouts: the values asked for
};

typedef void (*SerialTapFunction)(void* context, const SerialTapEvent* event);

// Sets the tap (null removes it). Not to be changed while a port is being used.
void serial_SetTap(SerialTapFunction tap, void* context);

// The library's export: sets its serial service's tap when version is SERIAL_TAP_VERSION;
// returns 1 then, 0 (nothing set) for another version.
typedef int (*SerialTapSetter)(int version, SerialTapFunction tap, void* context);
#define SERIAL_TAP_EXPORT_NAME "modemflash_SetSerialTap"

#endif
