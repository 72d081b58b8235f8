// What a job is waiting for, told while the wait runs.
//
// The engine waits in a few places for a long time: 20 s after every mode command, up to 8
// reopen attempts 2 s apart, a vanished modem's return, an answer to a slow command (the
// programming command may take hours), and a check that a modem that fell silent is still
// there. Each wait is announced when it begins (and again at each reopen attempt) with what
// it waits for and the longest it may still take, as codes to the port's job observer
// (IJobObserver::OnWait, report/job_observer.h) and as one line of the port's log (for a host
// that shows the log's lines). A wait that ends is announced too (WAIT_NONE), so that a
// display can drop it.
#ifndef MODEMFLASH_REPORT_WAIT_H
#define MODEMFLASH_REPORT_WAIT_H

#include <stdint.h>

enum WaitKind {
    WAIT_NONE = 0,         // the wait announced last has ended
    WAIT_MODE_SWITCH = 1,  // after a mode command: the modem drops its port and offers it again
    WAIT_PORT_BACK = 2,    // reopen attempt `attempt` of `attempts` after a switch failed to open
    WAIT_VANISHED = 3,     // a modem whose port went away, to come back where it was
    WAIT_ANSWER = 4,       // the answer to `command`, which is taking long
    WAIT_ALIVE = 5,        // whether a modem that said nothing to `command` still answers
    WAIT_MODEM = 6,        // the port search: a modem to answer its probe (pass k of n)
    WAIT_PORT_BUSY = 7     // the port search: `command` (the port) is held by another program
};

#define WAIT_COMMAND_CAPACITY 24

struct WaitNotice {
    int32_t kind;         // WaitKind
    int32_t mode;         // WAIT_MODE_SWITCH: the mode asked for (0 modem, 1 loader)
    int32_t attempt;      // WAIT_PORT_BACK, WAIT_VANISHED, WAIT_MODEM: this try, from 1
    int32_t attempts;     // the tries there are in all
    int64_t upToSeconds;  // the longest the wait may still take, in clock seconds
    char command[WAIT_COMMAND_CAPACITY];  // WAIT_ANSWER, WAIT_ALIVE: the command as sent
};

// Announces a wait (or with kind WAIT_NONE its end): the port's observer, and one log line
// (log_Info) unless kind is WAIT_NONE. The line is made by wait_Describe.
void wait_Announce(int port, const WaitNotice* notice);
// The same for the observer alone, without a log line: for a wait whose output is fixed (the
// port search prints nothing but its first line).
void wait_Notify(int port, const WaitNotice* notice);
// The end of the port's wait, when one was announced.
void wait_End(int port);

// The notice in words, e.g. "waiting for the modem to come back (attempt 2 of 8); at most
// 14 s more". Returns out.
char* wait_Describe(const WaitNotice* notice, char* out, int capacity);

#endif
