// Serial device service: exclusive access to one serial port.
//
// Handles are opaque. Every call taking a handle accepts only one that serial_Open returned
// and that has not been closed. Failures set the platform's last error (see error.h).
#ifndef MODEMFLASH_PLATFORM_SERIAL_H
#define MODEMFLASH_PLATFORM_SERIAL_H

#include <stddef.h>
#include <stdint.h>

typedef void* SerialHandle;

// The "no device" value stored after a close or a failed open (null means "never opened").
#define SERIAL_INVALID_HANDLE ((SerialHandle)(intptr_t)-1)

// serial_Open flags.
enum {
    SERIAL_OPEN_SYNC = 0,
    // Reads and writes wait at most the time given to serial_ReadWait / serial_WriteWait
    // (overlapped I/O on Windows); used by the port probe.
    SERIAL_OPEN_OVERLAPPED = 1
};

// Time-outs in milliseconds, with the meaning Windows gives COMMTIMEOUTS:
// - readInterval = readMultiplier = UINT32_MAX: a read returns at once with what is queued,
//   or waits at most readConstant for the first byte.
// - on POSIX a read returns as soon as the bytes that have arrived are taken; on Windows the
//   interval time-out (readInterval) may keep it waiting for more.
// - otherwise a read of n bytes waits at most readConstant + n * readMultiplier and returns
//   what has arrived by then (possibly nothing); readInterval ends it early after a gap.
// - a write of n bytes gives up after writeConstant + n * writeMultiplier and returns the
//   count written so far.
struct SerialTimeouts {
    uint32_t readInterval;
    uint32_t readMultiplier;
    uint32_t readConstant;
    uint32_t writeMultiplier;
    uint32_t writeConstant;
};

enum SerialParity { SERIAL_PARITY_NONE = 0, SERIAL_PARITY_ODD = 1, SERIAL_PARITY_EVEN = 2 };

// Line settings. The flow-control fields mirror the Windows device-control block.
struct SerialLine {
    uint32_t baud;         // bit/s
    uint8_t dataBits;      // 5..8
    uint8_t stopBits;      // 1 or 2
    uint8_t parity;        // SerialParity
    uint8_t parityCheck;   // 1: check parity of received bytes
    uint8_t ctsFlow;       // 1: output waits for CTS
    uint8_t dsrFlow;       // 1: output waits for DSR
    uint8_t dtrEnable;     // 1: DTR raised while open
    uint8_t dsrSensitive;  // 1: ignore input while DSR is low
    uint8_t xonXoff;       // 1: software flow control in both directions
    uint8_t rtsHandshake;  // 1: RTS handshaking (hardware input flow control)
};

// serial_Purge flags (may be combined).
enum {
    SERIAL_PURGE_TX_ABORT = 0x1,
    SERIAL_PURGE_RX_ABORT = 0x2,
    SERIAL_PURGE_TX_CLEAR = 0x4,
    SERIAL_PURGE_RX_CLEAR = 0x8
};

// Opens a port for exclusive reading and writing. name is "COM<n>" (mapped by the platform's
// port naming), or on POSIX also a device path. Returns the handle, or null on failure: the
// device does not exist, is held by another program, or is not a serial device.
SerialHandle serial_Open(const char* name, int flags);

// 1 when the calling thread's last serial_Open failed because another program holds the port
// (POSIX: its exclusive lock or TIOCEXCL, EBUSY; Windows: opened without sharing, access
// denied or a sharing violation), else 0.
int serial_LastOpenWasBusy(void);

// Closes the handle. Returns 1 when the system closed it, 0 otherwise; the handle is
// released either way.
int serial_Close(SerialHandle h);

// Reads/stores the time-outs. 1 on success, 0 on failure.
int serial_GetTimeouts(SerialHandle h, SerialTimeouts* out);
int serial_SetTimeouts(SerialHandle h, const SerialTimeouts* t);

// Reads/stores the line settings. 1 on success, 0 on failure (a pty ignores speed and flow
// control but accepts them).
int serial_GetLine(SerialHandle h, SerialLine* out);
int serial_SetLine(SerialHandle h, const SerialLine* line);

// Sets up the driver's queues (a hint; 1 on success) and the line-event mask (1 on success).
int serial_SetupQueues(SerialHandle h, uint32_t inBytes, uint32_t outBytes);
int serial_SetEventMask(SerialHandle h, uint32_t mask);

// Discards queued bytes. 1 on success, 0 on failure.
int serial_Purge(SerialHandle h, int flags);

// Writes up to count bytes within the write time-out, completing partial writes until all
// are written or the time-out ends. Returns the count written (possibly less than count), or
// -1 on failure (the device vanished, or another error).
int serial_Write(SerialHandle h, const void* data, size_t count);

// Reads at most capacity bytes within the read time-out. Returns the count read, 0 when
// nothing arrived in time, or -1 on failure (the device vanished, or another error).
int serial_Read(SerialHandle h, void* buffer, size_t capacity);

// For SERIAL_OPEN_OVERLAPPED handles: like serial_Write / serial_Read, but an operation that
// does not complete at once is waited for at most waitMs. A write that does not complete in
// time returns 0; a read returns what it had.
int serial_WriteWait(SerialHandle h, const void* data, size_t count, uint32_t waitMs);
int serial_ReadWait(SerialHandle h, void* buffer, size_t capacity, uint32_t waitMs);

// Bytes waiting in the input queue; 0 when none, -1 on failure.
int serial_BytesWaiting(SerialHandle h);

// 1 when the device behind an open handle has gone (unplugged, or a pty whose other side
// closed) or the handle is not an open one; 0 while it is still there. Does not wait.
int serial_IsGone(SerialHandle h);

// Fault injection for tests: the next `count` calls of the operation fail as if the device
// had refused them (errno / last error EIO). count 0 clears it.
enum SerialOperation {
    SERIAL_OP_OPEN,
    SERIAL_OP_SET_TIMEOUTS,
    SERIAL_OP_SET_LINE,
    SERIAL_OP_WRITE,
    SERIAL_OP_READ,
    SERIAL_OP_CLOSE,
    SERIAL_OP_COUNT
};
void serial_InjectFailure(int operation, int count);

#endif
