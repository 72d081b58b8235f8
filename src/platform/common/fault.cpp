// Fault seams: one counter per seam, armed by tests.
#include "platform/fault.h"

#if defined(MODEMFLASH_FAULT_SEAMS)

#include <atomic>

namespace {

// Per seam: the call that is to fail (0 none), the calls counted, and whether it came. Any
// thread may call a seam; the counters are atomic.
std::atomic<int64_t> g_armed[FAULT_SEAM_COUNT];
std::atomic<int64_t> g_calls[FAULT_SEAM_COUNT];
std::atomic<int> g_fired[FAULT_SEAM_COUNT];

const char* const kNames[FAULT_SEAM_COUNT] = {"serial",   "file-open", "file-read", "file-write",
                                              "registry", "thread",    "sqlite",    "alloc"};

bool valid(int seam) {
    return seam >= 0 && seam < FAULT_SEAM_COUNT;
}

}  // namespace

int fault_Hit(int seam) {
    if (!valid(seam)) return 0;
    int64_t n = g_calls[seam].fetch_add(1) + 1;
    if (n != g_armed[seam].load()) return 0;
    g_fired[seam].store(1);
    return 1;
}

void fault_Arm(int seam, int64_t n) {
    if (!valid(seam)) return;
    g_armed[seam].store(0);
    g_calls[seam].store(0);
    g_fired[seam].store(0);
    g_armed[seam].store(n < 0 ? 0 : n);
}

int64_t fault_Calls(int seam) {
    return valid(seam) ? g_calls[seam].load() : 0;
}

int fault_Fired(int seam) {
    return valid(seam) ? g_fired[seam].load() : 0;
}

const char* fault_SeamName(int seam) {
    return valid(seam) ? kNames[seam] : "";
}

#endif
