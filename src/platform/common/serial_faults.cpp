#include "platform/common/serial_faults.h"

#include <atomic>

#include "platform/fault.h"
#include "platform/serial.h"

namespace {
std::atomic<int> g_injected[SERIAL_OP_COUNT];
}

void serial_InjectFailure(int operation, int count) {
    if (operation < 0 || operation >= SERIAL_OP_COUNT) return;
    g_injected[operation].store(count < 0 ? 0 : count);
}

int serial_TakeInjectedFailure(int operation) {
    if (operation < 0 || operation > SERIAL_OP_COUNT) return 0;
    // Every serial call passes the serial fault seam; the calls of one operation also pass the
    // count a test injected for it.
    if (fault_Hit(FAULT_SEAM_SERIAL)) return 1;
    if (operation == SERIAL_OP_COUNT) return 0;
    int left = g_injected[operation].load();
    while (left > 0) {
        if (g_injected[operation].compare_exchange_weak(left, left - 1)) return 1;
    }
    return 0;
}
