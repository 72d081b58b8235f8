#include "platform/common/serial_faults.h"

#include <atomic>

#include "platform/serial.h"

namespace {
std::atomic<int> g_injected[SERIAL_OP_COUNT];
}

void serial_InjectFailure(int operation, int count) {
    if (operation < 0 || operation >= SERIAL_OP_COUNT) return;
    g_injected[operation].store(count < 0 ? 0 : count);
}

int serial_TakeInjectedFailure(int operation) {
    if (operation < 0 || operation >= SERIAL_OP_COUNT) return 0;
    int left = g_injected[operation].load();
    while (left > 0) {
        if (g_injected[operation].compare_exchange_weak(left, left - 1)) return 1;
    }
    return 0;
}
