// Serial devices on Windows: the communications API on a COM device handle.
//
// Synchronous handles (the engine's channel) read and write with ReadFile/WriteFile, bounded
// by the handle's COMMTIMEOUTS. Overlapped handles (the port probe) start each operation with
// an event of their own and wait for it at most the time the caller gives, cancelling what
// has not completed by then so that no operation outlives the call and its buffer.
//
// A vanished device. When a USB modem drops off the bus, Windows fails the pending and every
// later ReadFile/WriteFile on the handle. Under Wine (a pty whose other side closed) ReadFile
// instead succeeds with 0 bytes, while WriteFile and ClearCommError fail with
// ERROR_NOT_READY (21). A read of 0 bytes is also simply "nothing arrived within the
// time-outs", so after such a read the handle's queue status is asked for: if ClearCommError
// fails, the device is gone and the read is reported as a failure.
#include "platform/serial.h"

#include <windows.h>

#include <new>

#include "platform/common/serial_faults.h"
#include "platform/common/serial_tap_calls.h"
#include "platform/portname.h"

namespace {

struct Win32Serial {
    HANDLE handle;
    int flags;
    OVERLAPPED readOverlapped;   // overlapped handles only; hEvent created at open
    OVERLAPPED writeOverlapped;  // likewise
};

Win32Serial* cast(SerialHandle h) {
    if (h == nullptr || h == SERIAL_INVALID_HANDLE) return nullptr;
    return static_cast<Win32Serial*>(h);
}

// The error an injected failure leaves, as EIO does on POSIX.
void setInjectedError() {
    SetLastError(ERROR_IO_DEVICE);
}

DWORD clampCount(size_t count) {
    return count > 0x7fffffffu ? 0x7fffffffu : static_cast<DWORD>(count);
}

// After a read that brought nothing: 1 when the device is still there.
bool stillThere(HANDLE h) {
    DWORD errors = 0;
    COMSTAT stat;
    return ClearCommError(h, &errors, &stat) != 0;
}

// Waits for an overlapped operation at most waitMs. On time-out the operation is cancelled
// and its completion awaited, so that the system no longer writes into the caller's buffer.
// Returns 1 with *done set when it completed (also partly, as a cancelled or timed-out read
// does), 0 when it failed.
int finishOverlapped(HANDLE h, OVERLAPPED* ov, uint32_t waitMs, DWORD* done, bool* timedOut) {
    *done = 0;
    *timedOut = false;
    DWORD w = WaitForSingleObject(ov->hEvent, waitMs);
    if (w != WAIT_OBJECT_0) {
        *timedOut = true;
        CancelIo(h);
    }
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(h, ov, &n, TRUE);
    *done = n;
    if (ok) return 1;
    DWORD e = GetLastError();
    // A cancelled operation, and an overlapped read ended by the read time-outs (Wine reports
    // ERROR_TIMEOUT there), still hand over what they transferred.
    if (e == ERROR_OPERATION_ABORTED || e == ERROR_TIMEOUT) return 1;
    return 0;
}

int overlappedWrite(Win32Serial* s, const void* data, size_t count, uint32_t waitMs,
                    bool* timedOut) {
    *timedOut = false;
    OVERLAPPED* ov = &s->writeOverlapped;
    ResetEvent(ov->hEvent);
    DWORD n = 0;
    if (WriteFile(s->handle, data, clampCount(count), &n, ov)) return static_cast<int>(n);
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    if (!finishOverlapped(s->handle, ov, waitMs, &n, timedOut)) return -1;
    // The offset is meaningless to a COM device; it is kept growing like a file's would.
    ov->Offset += n;
    return static_cast<int>(n);
}

int overlappedRead(Win32Serial* s, void* buffer, size_t capacity, uint32_t waitMs) {
    OVERLAPPED* ov = &s->readOverlapped;
    ResetEvent(ov->hEvent);
    DWORD n = 0;
    if (!ReadFile(s->handle, buffer, clampCount(capacity), &n, ov)) {
        if (GetLastError() != ERROR_IO_PENDING) return -1;
        bool timedOut = false;
        if (!finishOverlapped(s->handle, ov, waitMs, &n, &timedOut)) return -1;
    }
    if (n == 0 && !stillThere(s->handle)) return -1;
    return static_cast<int>(n);
}

// A failure that means the device is not there (never was, or has been removed; under Wine a
// pty whose other side closed fails with ERROR_NOT_READY).
bool absentError(DWORD e) {
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_NOT_READY ||
           e == ERROR_DEVICE_REMOVED || e == ERROR_BAD_COMMAND || e == ERROR_GEN_FAILURE ||
           e == ERROR_IO_DEVICE;
}

// A read that failed after a read of nothing found the device gone (stillThere); the error
// left is the queue call's.
int tapRead(SerialHandle h, void* buffer, size_t capacity, int n) {
    DWORD e = GetLastError();
    serialtap_Read(h, buffer, capacity, n, static_cast<int>(e), absentError(e));
    return n;
}

int tapWrite(SerialHandle h, const void* data, size_t count, int n) {
    DWORD e = GetLastError();
    serialtap_Write(h, data, count, n, static_cast<int>(e), absentError(e));
    return n;
}

void closeEvents(Win32Serial* s) {
    if (s->readOverlapped.hEvent) CloseHandle(s->readOverlapped.hEvent);
    if (s->writeOverlapped.hEvent) CloseHandle(s->writeOverlapped.hEvent);
    s->readOverlapped.hEvent = nullptr;
    s->writeOverlapped.hEvent = nullptr;
}

}  // namespace

static SerialHandle openDevice(const char* name, int flags);

namespace {
thread_local int t_lastOpenBusy = 0;  // serial_LastOpenWasBusy
}

SerialHandle serial_Open(const char* name, int flags) {
    SerialHandle h = openDevice(name, flags);
    DWORD e = GetLastError();
    t_lastOpenBusy =
        h == nullptr && (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) ? 1 : 0;
    serialtap_Open(name, flags, h, static_cast<int>(e), absentError(e));
    SetLastError(e);
    return h;
}

int serial_LastOpenWasBusy(void) {
    return t_lastOpenBusy;
}

static SerialHandle openDevice(const char* name, int flags) {
    if (serial_TakeInjectedFailure(SERIAL_OP_OPEN)) {
        setInjectedError();
        return nullptr;
    }
    char path[MAX_PATH];
    if (name == nullptr || !portname_DevicePath(name, path, sizeof path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    bool overlapped = (flags & SERIAL_OPEN_OVERLAPPED) != 0;
    // No sharing: a port held by another program fails with ERROR_ACCESS_DENIED (5).
    HANDLE h =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | (overlapped ? FILE_FLAG_OVERLAPPED : 0), nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    // Only a communications device has a device-control block.
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        DWORD e = GetLastError();
        CloseHandle(h);
        SetLastError(e);
        return nullptr;
    }
    Win32Serial* s = new (std::nothrow) Win32Serial();
    if (s == nullptr) {
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    s->handle = h;
    s->flags = flags;
    if (overlapped) {
        // Manual reset, initially not signalled, unnamed.
        s->readOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        s->writeOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (s->readOverlapped.hEvent == nullptr || s->writeOverlapped.hEvent == nullptr) {
            DWORD e = GetLastError();
            closeEvents(s);
            CloseHandle(h);
            delete s;
            SetLastError(e);
            return nullptr;
        }
    }
    return s;
}

int serial_Close(SerialHandle h) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    bool injected = serial_TakeInjectedFailure(SERIAL_OP_CLOSE) != 0;
    if (s->flags & SERIAL_OPEN_OVERLAPPED) CancelIo(s->handle);
    closeEvents(s);
    BOOL closed = CloseHandle(s->handle);
    DWORD e = GetLastError();
    if (injected) {
        setInjectedError();
        closed = FALSE;
        e = ERROR_IO_DEVICE;
    }
    serialtap_Result(SERIAL_TAP_CLOSE, h, closed ? 1 : 0, static_cast<int>(e));
    delete s;
    if (!closed) SetLastError(e);
    return closed ? 1 : 0;
}

int serial_GetTimeouts(SerialHandle h, SerialTimeouts* out) {
    Win32Serial* s = cast(h);
    if (s == nullptr || out == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    COMMTIMEOUTS t;
    if (!GetCommTimeouts(s->handle, &t)) return 0;
    out->readInterval = t.ReadIntervalTimeout;
    out->readMultiplier = t.ReadTotalTimeoutMultiplier;
    out->readConstant = t.ReadTotalTimeoutConstant;
    out->writeMultiplier = t.WriteTotalTimeoutMultiplier;
    out->writeConstant = t.WriteTotalTimeoutConstant;
    return 1;
}

int serial_SetTimeouts(SerialHandle h, const SerialTimeouts* in) {
    Win32Serial* s = cast(h);
    if (s == nullptr || in == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (serial_TakeInjectedFailure(SERIAL_OP_SET_TIMEOUTS)) {
        setInjectedError();
        return 0;
    }
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = in->readInterval;
    t.ReadTotalTimeoutMultiplier = in->readMultiplier;
    t.ReadTotalTimeoutConstant = in->readConstant;
    t.WriteTotalTimeoutMultiplier = in->writeMultiplier;
    t.WriteTotalTimeoutConstant = in->writeConstant;
    int r = SetCommTimeouts(s->handle, &t) ? 1 : 0;
    serialtap_Timeouts(h, in, r, static_cast<int>(GetLastError()));
    return r;
}

int serial_GetLine(SerialHandle h, SerialLine* out) {
    Win32Serial* s = cast(h);
    if (s == nullptr || out == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(s->handle, &dcb)) return 0;
    out->baud = dcb.BaudRate;
    out->dataBits = dcb.ByteSize;
    out->stopBits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    out->parity = dcb.Parity == ODDPARITY    ? SERIAL_PARITY_ODD
                  : dcb.Parity == EVENPARITY ? SERIAL_PARITY_EVEN
                                             : SERIAL_PARITY_NONE;
    out->parityCheck = dcb.fParity ? 1 : 0;
    out->ctsFlow = dcb.fOutxCtsFlow ? 1 : 0;
    out->dsrFlow = dcb.fOutxDsrFlow ? 1 : 0;
    out->dtrEnable = dcb.fDtrControl == DTR_CONTROL_ENABLE ? 1 : 0;
    out->dsrSensitive = dcb.fDsrSensitivity ? 1 : 0;
    out->xonXoff = (dcb.fOutX || dcb.fInX) ? 1 : 0;
    out->rtsHandshake = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? 1 : 0;
    return 1;
}

int serial_SetLine(SerialHandle h, const SerialLine* line) {
    Win32Serial* s = cast(h);
    if (s == nullptr || line == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (serial_TakeInjectedFailure(SERIAL_OP_SET_LINE)) {
        setInjectedError();
        return 0;
    }
    if (line->dataBits < 5 || line->dataBits > 8 || (line->stopBits != 1 && line->stopBits != 2) ||
        line->parity > SERIAL_PARITY_EVEN || line->baud == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Start from the device's current block so that what the line setting does not name
    // (binary mode, error replacement, the special characters) stays as the device has it.
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(s->handle, &dcb)) return 0;
    // Speed and character format through the system's own mode parser, as a "mode" command
    // would; it also switches the flow control off, which is set below as wanted.
    char mode[64];
    static const char kParity[] = {'n', 'o', 'e'};
    wsprintfA(mode, "baud=%lu parity=%c data=%u stop=%u", static_cast<unsigned long>(line->baud),
              kParity[line->parity], static_cast<unsigned>(line->dataBits),
              static_cast<unsigned>(line->stopBits));
    if (!BuildCommDCBA(mode, &dcb)) {
        // Speeds the parser does not know are still offered to the driver as they are.
        dcb.BaudRate = line->baud;
        dcb.ByteSize = line->dataBits;
        dcb.Parity = line->parity == SERIAL_PARITY_ODD    ? ODDPARITY
                     : line->parity == SERIAL_PARITY_EVEN ? EVENPARITY
                                                          : NOPARITY;
        dcb.StopBits = line->stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    }
    dcb.fParity = line->parityCheck ? TRUE : FALSE;
    dcb.fOutxCtsFlow = line->ctsFlow ? TRUE : FALSE;
    dcb.fOutxDsrFlow = line->dsrFlow ? TRUE : FALSE;
    dcb.fDtrControl = line->dtrEnable ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = line->dsrSensitive ? TRUE : FALSE;
    dcb.fOutX = line->xonXoff ? TRUE : FALSE;
    dcb.fInX = line->xonXoff ? TRUE : FALSE;
    dcb.fRtsControl = line->rtsHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    int r = SetCommState(s->handle, &dcb) ? 1 : 0;
    serialtap_Line(h, line, r, static_cast<int>(GetLastError()));
    return r;
}

int serial_SetupQueues(SerialHandle h, uint32_t inBytes, uint32_t outBytes) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    int r = SetupComm(s->handle, inBytes, outBytes) ? 1 : 0;
    serialtap_Result(SERIAL_TAP_QUEUES, h, r, static_cast<int>(GetLastError()), 0, inBytes,
                     outBytes);
    return r;
}

int serial_SetEventMask(SerialHandle h, uint32_t mask) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    int r = SetCommMask(s->handle, mask) ? 1 : 0;
    serialtap_Result(SERIAL_TAP_EVENT_MASK, h, r, static_cast<int>(GetLastError()), 0, mask);
    return r;
}

int serial_Purge(SerialHandle h, int flags) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // The service's purge flags are the system's PURGE_* values.
    int r = PurgeComm(s->handle, static_cast<DWORD>(flags) & 0xF) ? 1 : 0;
    serialtap_Result(SERIAL_TAP_PURGE, h, r, static_cast<int>(GetLastError()), flags);
    return r;
}

int serial_Write(SerialHandle h, const void* data, size_t count) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (serial_TakeInjectedFailure(SERIAL_OP_WRITE)) {
        setInjectedError();
        return -1;
    }
    if (count == 0) return 0;
    if (s->flags & SERIAL_OPEN_OVERLAPPED) {
        bool timedOut = false;
        return tapWrite(h, data, count, overlappedWrite(s, data, count, INFINITE, &timedOut));
    }
    // One call: the write time-outs end it, with the count written by then.
    DWORD n = 0;
    if (!WriteFile(s->handle, data, clampCount(count), &n, nullptr))
        return tapWrite(h, data, count, -1);
    return tapWrite(h, data, count, static_cast<int>(n));
}

int serial_Read(SerialHandle h, void* buffer, size_t capacity) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (serial_TakeInjectedFailure(SERIAL_OP_READ)) {
        setInjectedError();
        return -1;
    }
    if (capacity == 0) {
        // Nothing can be read, but the caller still expects the read to take its time-out
        // rather than return at once and be called again in a tight loop.
        COMMTIMEOUTS t;
        if (GetCommTimeouts(s->handle, &t) && t.ReadIntervalTimeout != MAXDWORD &&
            t.ReadTotalTimeoutConstant > 0)
            Sleep(t.ReadTotalTimeoutConstant);
        return 0;
    }
    if (s->flags & SERIAL_OPEN_OVERLAPPED)
        return tapRead(h, buffer, capacity, overlappedRead(s, buffer, capacity, INFINITE));
    DWORD n = 0;
    if (!ReadFile(s->handle, buffer, clampCount(capacity), &n, nullptr))
        return tapRead(h, buffer, capacity, -1);
    if (n == 0 && !stillThere(s->handle)) return tapRead(h, buffer, capacity, -1);
    return tapRead(h, buffer, capacity, static_cast<int>(n));
}

int serial_WriteWait(SerialHandle h, const void* data, size_t count, uint32_t waitMs) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (!(s->flags & SERIAL_OPEN_OVERLAPPED)) {
        int n = serial_Write(h, data, count);
        return n < 0 ? -1 : (static_cast<size_t>(n) == count ? n : 0);
    }
    if (serial_TakeInjectedFailure(SERIAL_OP_WRITE)) {
        setInjectedError();
        return -1;
    }
    if (count == 0) return 0;
    bool timedOut = false;
    int n = tapWrite(h, data, count, overlappedWrite(s, data, count, waitMs, &timedOut));
    if (n < 0) return -1;
    if (timedOut) return 0;
    return static_cast<size_t>(n) == count ? n : 0;
}

int serial_ReadWait(SerialHandle h, void* buffer, size_t capacity, uint32_t waitMs) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (!(s->flags & SERIAL_OPEN_OVERLAPPED)) return serial_Read(h, buffer, capacity);
    if (serial_TakeInjectedFailure(SERIAL_OP_READ)) {
        setInjectedError();
        return -1;
    }
    if (capacity == 0) return 0;
    return tapRead(h, buffer, capacity, overlappedRead(s, buffer, capacity, waitMs));
}

int serial_BytesWaiting(SerialHandle h) {
    Win32Serial* s = cast(h);
    if (s == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(s->handle, &errors, &stat)) return -1;
    return stat.cbInQue > 0x7fffffffu ? 0x7fffffff : static_cast<int>(stat.cbInQue);
}

int serial_IsGone(SerialHandle h) {
    Win32Serial* s = cast(h);
    if (s == nullptr) return 1;
    // A removed device fails every communications call on its handle.
    DWORD errors = 0;
    COMSTAT stat;
    if (ClearCommError(s->handle, &errors, &stat)) return 0;
    serialtap_Gone(h);
    return 1;
}
