// Counting stop signals with the C library's signal(), on every system.
#include "stop_signal.h"

#include <signal.h>

#include <atomic>

namespace {

std::atomic<int> g_stops{0};

extern "C" void onStop(int sig) {
    g_stops.fetch_add(1);
    signal(sig, onStop);  // some systems reset the handler after each signal
}

}  // namespace

void stopSignal_Install() {
    signal(SIGINT, onStop);
    signal(SIGTERM, onStop);
}

int stopSignal_Count() {
    return g_stops.load();
}
