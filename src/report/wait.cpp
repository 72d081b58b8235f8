// Wait notices: to the job observer, and as a line of the log.
#include "report/wait.h"

#include <stdio.h>

#include "report/job_observer.h"
#include "report/log.h"
#include "report/port_report.h"

namespace {

// Whether the port's last notice was a wait still running. Per port, like its report: only
// the thread that runs the port's job announces waits on it.
bool g_waiting[REPORT_PORT_COUNT];

// "36 s", "4 min 10 s", "8 h 20 min".
void duration(int64_t seconds, char* out, size_t capacity) {
    if (seconds < 0) seconds = 0;
    if (seconds < 120)
        snprintf(out, capacity, "%lld s", static_cast<long long>(seconds));
    else if (seconds < 7200)
        snprintf(out, capacity, "%lld min %lld s", static_cast<long long>(seconds / 60),
                 static_cast<long long>(seconds % 60));
    else
        snprintf(out, capacity, "%lld h %lld min", static_cast<long long>(seconds / 3600),
                 static_cast<long long>(seconds / 60 % 60));
}

}  // namespace

char* wait_Describe(const WaitNotice* n, char* out, int capacity) {
    if (out == nullptr || capacity <= 0) return out;
    size_t cap = static_cast<size_t>(capacity);
    out[0] = '\0';
    if (n == nullptr) return out;
    char upTo[32];
    duration(n->upToSeconds, upTo, sizeof upTo);
    switch (n->kind) {
        case WAIT_MODE_SWITCH:
            snprintf(out, cap,
                     "waiting for the modem to switch to %s mode and offer its port again; at "
                     "most %s",
                     n->mode == 1 ? "loader" : "modem", upTo);
            break;
        case WAIT_PORT_BACK:
            snprintf(out, cap,
                     "waiting for the modem to come back (attempt %d of %d); at most %s more",
                     n->attempt, n->attempts, upTo);
            break;
        case WAIT_VANISHED:
            snprintf(out, cap,
                     "the modem's port went away: waiting for it to come back where it was; at "
                     "most %s",
                     upTo);
            break;
        case WAIT_ANSWER:
            snprintf(out, cap, "waiting for the modem's answer to %s; at most %s more", n->command,
                     upTo);
            break;
        case WAIT_ALIVE:
            snprintf(out, cap,
                     "the modem did not answer %s: checking whether it still answers; at most %s",
                     n->command, upTo);
            break;
        case WAIT_PORT_BUSY:
            snprintf(out, cap,
                     "%s is held by another program: waiting for it to be let go (pass %d of %d); "
                     "at most %s more",
                     n->command, n->attempt, n->attempts, upTo);
            break;
        case WAIT_MODEM:
            snprintf(out, cap, "waiting for a modem to answer (pass %d of %d); at most %s more",
                     n->attempt, n->attempts, upTo);
            break;
        default:
            break;
    }
    return out;
}

void wait_Announce(int port, const WaitNotice* notice) {
    if (notice == nullptr || report_Port(port) == nullptr) return;
    g_waiting[port] = notice->kind != WAIT_NONE;
    report_Wait(port, notice);
    if (notice->kind == WAIT_NONE) return;
    char text[192];
    log_Info(port, "%s\n", wait_Describe(notice, text, sizeof text));
}

void wait_Notify(int port, const WaitNotice* notice) {
    if (notice == nullptr || report_Port(port) == nullptr) return;
    g_waiting[port] = notice->kind != WAIT_NONE;
    report_Wait(port, notice);
}

void wait_End(int port) {
    if (report_Port(port) == nullptr || !g_waiting[port]) return;
    WaitNotice end = {};
    end.kind = WAIT_NONE;
    wait_Announce(port, &end);
}
