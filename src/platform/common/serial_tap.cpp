#include <errno.h>

#include <atomic>

#include "platform/common/serial_tap_calls.h"
#include "platform/error.h"

namespace {

// The tap and its context change together: both live in one record, swapped whole. The
// records are static and taken in turn, so that a caller on another thread still using the one
// before keeps a record that is whole (a tap is set a few times in a process's life).
struct Tap {
    SerialTapFunction function;
    void* context;
};
const int kTapRecords = 16;
Tap g_taps[kTapRecords];
std::atomic<int> g_next{0};
std::atomic<const Tap*> g_tap{nullptr};

}  // namespace

void serial_SetTap(SerialTapFunction tap, void* context) {
    if (tap == nullptr) {
        g_tap.store(nullptr, std::memory_order_release);
        return;
    }
    Tap* t = &g_taps[g_next.fetch_add(1) % kTapRecords];
    t->function = tap;
    t->context = context;
    g_tap.store(t, std::memory_order_release);
}

bool serialtap_On() {
    return g_tap.load(std::memory_order_relaxed) != nullptr;
}

void serialtap_Tell(const SerialTapEvent& e) {
    const Tap* t = g_tap.load(std::memory_order_acquire);
    if (t == nullptr) return;
    // The caller reports its failure through the last error after the tap has run.
    int savedErrno = errno, savedLast = err_Last();
    t->function(t->context, &e);
    errno = savedErrno;
    err_SetLast(savedLast);
}

namespace {

SerialTapEvent event(int op, SerialHandle h, int result, int error) {
    SerialTapEvent e{};
    e.op = op;
    e.port = h;
    e.result = result;
    e.error = result > 0 ? 0 : error;
    return e;
}

}  // namespace

void serialtap_Open(const char* name, int flags, SerialHandle h, int error, bool absent) {
    if (!serialtap_On()) return;
    SerialTapEvent e = event(SERIAL_TAP_OPEN, h, h != nullptr ? 1 : 0, error);
    e.name = name;
    e.flags = flags;
    e.absent = h == nullptr && absent ? 1 : 0;
    serialtap_Tell(e);
}

void serialtap_Result(int op, SerialHandle h, int result, int error, int flags, uint32_t value,
                      uint32_t value2) {
    if (!serialtap_On()) return;
    SerialTapEvent e = event(op, h, result, error);
    e.flags = flags;
    e.value = value;
    e.value2 = value2;
    serialtap_Tell(e);
}

void serialtap_Line(SerialHandle h, const SerialLine* line, int result, int error) {
    if (!serialtap_On() || line == nullptr) return;
    SerialTapEvent e = event(SERIAL_TAP_LINE, h, result, error);
    e.line = line;
    serialtap_Tell(e);
}

void serialtap_Timeouts(SerialHandle h, const SerialTimeouts* t, int result, int error) {
    if (!serialtap_On() || t == nullptr) return;
    SerialTapEvent e = event(SERIAL_TAP_TIMEOUTS, h, result, error);
    e.timeouts = t;
    serialtap_Tell(e);
}

void serialtap_Write(SerialHandle h, const void* data, size_t count, int result, int error,
                     bool gone) {
    if (!serialtap_On()) return;
    SerialTapEvent e = event(SERIAL_TAP_WRITE, h, result, error);
    e.data = data;
    e.count = count;
    e.absent = result < 0 && gone ? 1 : 0;
    serialtap_Tell(e);
}

void serialtap_Read(SerialHandle h, const void* data, size_t capacity, int result, int error,
                    bool gone) {
    if (result == 0 || !serialtap_On()) return;
    SerialTapEvent e = event(SERIAL_TAP_READ, h, result, error);
    e.data = data;
    e.count = capacity;
    e.absent = result < 0 && gone ? 1 : 0;
    serialtap_Tell(e);
}

void serialtap_Gone(SerialHandle h) {
    if (!serialtap_On()) return;
    serialtap_Tell(event(SERIAL_TAP_GONE, h, 1, 0));
}
