// Serial devices on POSIX: termios, O_NONBLOCK and poll.
//
// A read or write never blocks in the kernel: the descriptor is non-blocking and every wait
// is a poll bounded by the handle's time-outs. EAGAIN means "nothing yet"; a read of 0 bytes,
// EIO or POLLHUP means the device has gone (a pty whose master closed, a USB modem that
// dropped off the bus), which is reported as a failure.
#include "platform/serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/common/serial_faults.h"
#include "platform/common/serial_tap_calls.h"
#include "platform/portname.h"

namespace {

struct PosixSerial {
    int fd;
    int flags;
    SerialTimeouts timeouts;
    SerialLine line;
};

PosixSerial* cast(SerialHandle h) {
    if (h == nullptr || h == SERIAL_INVALID_HANDLE) return nullptr;
    return static_cast<PosixSerial*>(h);
}

// The port behind a handle that a call is made on, or null with errno set: EBADF when the
// handle is not an open one or the call's argument is missing (`given` false), EIO when a test
// made the next call of `operation` fail (SERIAL_OP_COUNT: a call no test makes fail).
PosixSerial* portFor(SerialHandle h, int operation = SERIAL_OP_COUNT, bool given = true) {
    PosixSerial* s = cast(h);
    if (s == nullptr || !given) {
        errno = EBADF;
        return nullptr;
    }
    if (operation != SERIAL_OP_COUNT && serial_TakeInjectedFailure(operation)) {
        errno = EIO;
        return nullptr;
    }
    return s;
}

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for events until the deadline (-1: no deadline). Returns the revents, 0 on time-out,
// -1 on failure.
int waitFor(int fd, short events, int64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            int64_t left = deadline - nowMs();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        return r == 0 ? 0 : p.revents;
    }
}

speed_t speedConstant(uint32_t baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        case 1000000:
            return B1000000;
        case 2000000:
            return B2000000;
        case 3000000:
            return B3000000;
        case 4000000:
            return B4000000;
        default:
            return B0;
    }
}

// Modem-line calls fail with ENOTTY or EINVAL on a pty, which has no such lines.
void setDtr(int fd, bool on) {
    int bits = TIOCM_DTR;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
        // No modem lines: nothing to do.
    }
}

int applyLine(PosixSerial* s, const SerialLine* line) {
    termios t;
    if (tcgetattr(s->fd, &t) != 0) return 0;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    switch (line->dataBits) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        case 8:
            t.c_cflag |= CS8;
            break;
        default:
            errno = EINVAL;
            return 0;
    }
    if (line->stopBits == 2) t.c_cflag |= CSTOPB;
    if (line->parity == SERIAL_PARITY_ODD) t.c_cflag |= PARENB | PARODD;
    if (line->parity == SERIAL_PARITY_EVEN) t.c_cflag |= PARENB;
    if (line->parityCheck) t.c_iflag |= INPCK;
    if (line->ctsFlow || line->rtsHandshake) t.c_cflag |= CRTSCTS;
    if (line->xonXoff) t.c_iflag |= IXON | IXOFF;
    t.c_cflag |= CREAD | CLOCAL;
    // With O_NONBLOCK, VMIN 1 makes an empty queue read as EAGAIN; VMIN 0 would make it read
    // as 0 bytes, which is how a vanished device reads.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t sp = speedConstant(line->baud);
    if (sp == B0) {
        errno = EINVAL;
        return 0;
    }
    cfsetispeed(&t, sp);
    cfsetospeed(&t, sp);
    if (tcsetattr(s->fd, TCSANOW, &t) != 0) return 0;
    setDtr(s->fd, line->dtrEnable != 0);
    s->line = *line;
    return 1;
}

// A read of what is there now: >0 bytes, 0 nothing yet, -1 gone or failed.
int readNow(int fd, void* buffer, size_t capacity) {
    for (;;) {
        ssize_t n = read(fd, buffer, capacity);
        if (n > 0) return static_cast<int>(n);
        if (n == 0) {
            errno = EIO;  // end of file: the other side has gone
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

// Reads until capacity is full, the deadline passes, or (once data has come) the gap after
// the last byte exceeds intervalMs (0: return as soon as anything has come).
int readUntil(PosixSerial* s, uint8_t* out, size_t capacity, int64_t deadline,
              uint32_t intervalMs) {
    size_t got = 0;
    while (got < capacity) {
        int n = readNow(s->fd, out + got, capacity - got);
        if (n < 0) return got > 0 ? static_cast<int>(got) : -1;
        got += static_cast<size_t>(n);
        if (got == capacity) break;
        if (n > 0) continue;
        if (got > 0 && intervalMs == 0) break;
        int64_t until = deadline;
        if (got > 0) {
            int64_t gapEnd = nowMs() + intervalMs;
            if (until < 0 || gapEnd < until) until = gapEnd;
        }
        int ev = waitFor(s->fd, POLLIN, until);
        if (ev < 0) return got > 0 ? static_cast<int>(got) : -1;
        if (ev == 0) break;
        if ((ev & (POLLHUP | POLLERR | POLLNVAL)) && !(ev & POLLIN)) {
            errno = EIO;
            return got > 0 ? static_cast<int>(got) : -1;
        }
    }
    return static_cast<int>(got);
}

int writeUntil(PosixSerial* s, const uint8_t* data, size_t count, int64_t deadline) {
    size_t done = 0;
    bool retriedAfterWait = false;
    while (done < count) {
        ssize_t n = write(s->fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            retriedAfterWait = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (retriedAfterWait) break;  // the wait timed out and one more try took nothing
        int ev = waitFor(s->fd, POLLOUT, deadline);
        if (ev < 0) return -1;
        if (ev & (POLLHUP | POLLERR | POLLNVAL)) {
            errno = EIO;
            return -1;
        }
        // A pty does not always wake a writer after small reads by its peer, so a wait that
        // timed out is followed by one more try.
        if (ev == 0) retriedAfterWait = true;
    }
    return static_cast<int>(done);
}

int64_t deadlineAfter(uint64_t ms) {
    return nowMs() + static_cast<int64_t>(ms);
}

// A failure that means the device is not there (never was, or has gone).
bool absentError(int e) {
    return e == ENOENT || e == ENXIO || e == ENODEV || e == EIO;
}

}  // namespace

static SerialHandle openDevice(const char* name, int flags);

namespace {
thread_local int t_lastOpenBusy = 0;  // serial_LastOpenWasBusy
}

SerialHandle serial_Open(const char* name, int flags) {
    SerialHandle h = openDevice(name, flags);
    int e = errno;
    t_lastOpenBusy = h == nullptr && e == EBUSY ? 1 : 0;
    serialtap_Open(name, flags, h, e, absentError(e));
    errno = e;
    return h;
}

int serial_LastOpenWasBusy(void) {
    return t_lastOpenBusy;
}

static SerialHandle openDevice(const char* name, int flags) {
    if (serial_TakeInjectedFailure(SERIAL_OP_OPEN)) {
        errno = EIO;
        return nullptr;
    }
    char path[4096];
    if (!portname_DevicePath(name, path, sizeof path)) {
        errno = ENOENT;
        return nullptr;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (!isatty(fd)) {
        close(fd);
        errno = ENOTTY;
        return nullptr;
    }
    // TIOCEXCL keeps out other users but not root; the advisory lock keeps out every other
    // program that asks for exclusive use as we do.
    (void)ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        (void)ioctl(fd, TIOCNXCL);
        close(fd);
        errno = e;
        return nullptr;
    }
    PosixSerial* s = new (std::nothrow) PosixSerial();
    if (s == nullptr) {
        (void)ioctl(fd, TIOCNXCL);
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    s->fd = fd;
    s->flags = flags;
    s->timeouts = SerialTimeouts{0, 0, 0, 0, 0};
    s->line = SerialLine{115200, 8, 1, SERIAL_PARITY_NONE, 0, 0, 0, 1, 0, 0, 0};
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        if (t.c_cc[VMIN] == 0) {
            t.c_cc[VMIN] = 1;
            t.c_cc[VTIME] = 0;
            (void)tcsetattr(fd, TCSANOW, &t);
        }
        speed_t sp = cfgetospeed(&t);
        const uint32_t known[] = {1200,  2400,   4800,   9600,   19200, 38400,
                                  57600, 115200, 230400, 460800, 921600};
        for (uint32_t b : known)
            if (speedConstant(b) == sp) s->line.baud = b;
        s->line.ctsFlow = s->line.rtsHandshake = (t.c_cflag & CRTSCTS) ? 1 : 0;
    }
    return s;
}

int serial_Close(SerialHandle h) {
    PosixSerial* s = portFor(h);
    if (s == nullptr) return 0;
    bool injected = serial_TakeInjectedFailure(SERIAL_OP_CLOSE) != 0;
    // Without TIOCNXCL a later open of the same pty fails with EBUSY.
    (void)ioctl(s->fd, TIOCNXCL);
    int r = close(s->fd);
    if (injected) {
        r = -1;
        errno = EIO;
    }
    serialtap_Result(SERIAL_TAP_CLOSE, h, r == 0 ? 1 : 0, errno);
    delete s;
    return r == 0 ? 1 : 0;
}

int serial_GetTimeouts(SerialHandle h, SerialTimeouts* out) {
    PosixSerial* s = portFor(h, SERIAL_OP_COUNT, out != nullptr);
    if (s == nullptr) return 0;
    *out = s->timeouts;
    return 1;
}

int serial_SetTimeouts(SerialHandle h, const SerialTimeouts* t) {
    PosixSerial* s = portFor(h, SERIAL_OP_SET_TIMEOUTS, t != nullptr);
    if (s == nullptr) return 0;
    s->timeouts = *t;
    serialtap_Timeouts(h, t, 1, 0);
    return 1;
}

int serial_GetLine(SerialHandle h, SerialLine* out) {
    PosixSerial* s = portFor(h, SERIAL_OP_COUNT, out != nullptr);
    if (s == nullptr) return 0;
    termios t;
    if (tcgetattr(s->fd, &t) != 0) return 0;  // the device has gone
    *out = s->line;
    return 1;
}

int serial_SetLine(SerialHandle h, const SerialLine* line) {
    PosixSerial* s = portFor(h, SERIAL_OP_SET_LINE, line != nullptr);
    if (s == nullptr) return 0;
    int r = applyLine(s, line);
    serialtap_Line(h, line, r, errno);
    return r;
}

int serial_SetupQueues(SerialHandle h, uint32_t inBytes, uint32_t outBytes) {
    if (portFor(h) == nullptr) return 0;
    serialtap_Result(SERIAL_TAP_QUEUES, h, 1, 0, 0, inBytes, outBytes);
    return 1;  // the kernel sizes its own queues
}

int serial_SetEventMask(SerialHandle h, uint32_t mask) {
    if (portFor(h) == nullptr) return 0;
    serialtap_Result(SERIAL_TAP_EVENT_MASK, h, 1, 0, 0, mask);
    return 1;  // line events are not watched on POSIX
}

int serial_Purge(SerialHandle h, int flags) {
    PosixSerial* s = portFor(h);
    if (s == nullptr) return 0;
    bool rx = (flags & SERIAL_PURGE_RX_CLEAR) != 0;
    bool tx = (flags & SERIAL_PURGE_TX_CLEAR) != 0;
    int r = (!rx && !tx) || tcflush(s->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) == 0;
    serialtap_Result(SERIAL_TAP_PURGE, h, r, errno, flags);
    return r;
}

int serial_Write(SerialHandle h, const void* data, size_t count) {
    PosixSerial* s = portFor(h, SERIAL_OP_WRITE);
    if (s == nullptr) return -1;
    if (count == 0) return 0;
    const SerialTimeouts& t = s->timeouts;
    uint64_t total =
        static_cast<uint64_t>(t.writeConstant) + static_cast<uint64_t>(t.writeMultiplier) * count;
    int64_t deadline = total == 0 ? -1 : deadlineAfter(total);
    int n = writeUntil(s, static_cast<const uint8_t*>(data), count, deadline);
    serialtap_Write(h, data, count, n, errno, absentError(errno));
    return n;
}

static int readPort(SerialHandle h, void* buffer, size_t capacity);

int serial_Read(SerialHandle h, void* buffer, size_t capacity) {
    int n = readPort(h, buffer, capacity);
    serialtap_Read(h, buffer, capacity, n, errno, absentError(errno));
    return n;
}

static int readPort(SerialHandle h, void* buffer, size_t capacity) {
    PosixSerial* s = portFor(h, SERIAL_OP_READ);
    if (s == nullptr) return -1;
    const SerialTimeouts& t = s->timeouts;
    if (capacity == 0) {
        // Nothing can be read, but the caller still expects the read to take its time-out
        // rather than return at once and be called again in a tight loop.
        if (t.readInterval != UINT32_MAX && t.readConstant > 0) {
            timespec ts{static_cast<time_t>(t.readConstant / 1000),
                        static_cast<long>(t.readConstant % 1000) * 1000000L};
            nanosleep(&ts, nullptr);
        }
        return 0;
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (t.readInterval == UINT32_MAX) {
        if (t.readMultiplier == UINT32_MAX && t.readConstant > 0 && t.readConstant != UINT32_MAX)
            return readUntil(s, out, capacity, deadlineAfter(t.readConstant), 0);
        int n = readNow(s->fd, out, capacity);  // return at once with what is queued
        return n;
    }
    uint64_t total =
        static_cast<uint64_t>(t.readConstant) + static_cast<uint64_t>(t.readMultiplier) * capacity;
    int64_t deadline = total == 0 ? -1 : deadlineAfter(total);
    // Bytes that have arrived are handed over as soon as no more are waiting, rather than after
    // an interval of silence: callers poll again at once, and an answer is seen without the
    // interval's delay. The read still ends by its total time-out when nothing comes.
    return readUntil(s, out, capacity, deadline, 0);
}

int serial_WriteWait(SerialHandle h, const void* data, size_t count, uint32_t waitMs) {
    PosixSerial* s = portFor(h, SERIAL_OP_WRITE);
    if (s == nullptr) return -1;
    int n = writeUntil(s, static_cast<const uint8_t*>(data), count, deadlineAfter(waitMs));
    serialtap_Write(h, data, count, n, errno, absentError(errno));
    if (n < 0) return -1;
    return static_cast<size_t>(n) == count ? n : 0;
}

int serial_ReadWait(SerialHandle h, void* buffer, size_t capacity, uint32_t waitMs) {
    PosixSerial* s = portFor(h, SERIAL_OP_READ);
    if (s == nullptr) return -1;
    if (capacity == 0) return 0;
    int n = readUntil(s, static_cast<uint8_t*>(buffer), capacity, deadlineAfter(waitMs), 0);
    serialtap_Read(h, buffer, capacity, n, errno, absentError(errno));
    return n;
}

int serial_BytesWaiting(SerialHandle h) {
    PosixSerial* s = portFor(h);
    if (s == nullptr) return -1;
    int n = 0;
    if (ioctl(s->fd, FIONREAD, &n) != 0) return -1;
    if (n == 0) {
        // A vanished device reports nothing queued; tell it apart from a quiet one.
        pollfd p{s->fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) &&
            !(p.revents & POLLIN)) {
            errno = EIO;
            return -1;
        }
    }
    return n;
}

int serial_IsGone(SerialHandle h) {
    PosixSerial* s = cast(h);
    if (s == nullptr) return 1;
    pollfd p{s->fd, POLLIN, 0};
    int r = poll(&p, 1, 0);
    if (r < 0) return errno == EINTR ? 0 : 1;
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        serialtap_Gone(h);
        return 1;
    }
    termios t;
    int gone = tcgetattr(s->fd, &t) != 0 ? 1 : 0;
    if (gone) serialtap_Gone(h);
    return gone;
}
