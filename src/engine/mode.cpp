// Modem mode control.
#include "engine/mode.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/at.h"
#include "engine/engine_lock.h"
#include "engine/port_context.h"
#include "engine/port_locator.h"
#include "platform/clock.h"
#include "report/job_observer.h"
#include "report/log.h"
#include "report/notify.h"
#include "report/wait.h"

namespace {

// The identification commands, as at_Send formats ("%%" is one '%' on the line).
const char* const kCommonInit[] = {"AT+GMR\r\n", "AT%%IFWR\r\n"};
const char* const kModemInit[] = {"AT%%ICOMPAT\r\n"};
const char* const kLoaderInit[] = {"AT%%IFLIST\r\n", "AT%%CHIPID\r\n"};
const int kCommonInitCount = 2;
const int kModemInitCount = 1;
const int kLoaderInitCount = 2;
static_assert(kCommonInitCount + kModemInitCount <= INIT_ANSWER_SLOTS &&
                  kCommonInitCount + kLoaderInitCount <= INIT_ANSWER_SLOTS,
              "every identification answer has its slot");

// GBK texts of the log (code page 936), byte for byte.
// "SeletMode: attempt %d to open the port failed"
const char kReopenFailed[] =
    "SeletMode: \xb5\xda%d\xb4\xce\xb4\xf2\xbf\xaa\xb6\xcb\xbf\xda\xca\xa7\xb0\xdc\n";
// "SelectMode: mode switch failed"
const char kSwitchFailed[] = "SelectMode: \xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc\n";
// "mode switch failed"
const char kSwitchFailedBare[] = "\xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc\n";
// "opening the port after the switch to MODE 1 failed!"
const char kLoaderReopenFailed[] =
    "\xc7\xd0\xbb\xbb\xb5\xbdMODE 1\xba\xf3\xb4\xf2\xbf\xaa\xb6\xcb\xbf\xda\xca\xa7\xb0\xdc!\n";
// "the switch to MODE 1 failed!"
const char kLoaderSwitchFailed[] = "\xc7\xd0\xbb\xbb\xb5\xbdMODE 1\xca\xa7\xb0\xdc!\n";

// at_Send with a format that is not a literal: the tables above, and commands whose number
// was formatted in first (their templates double every '%' once more for that).
int sendFormatted(int port, const char* format) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    return at_Send(port, format);
#pragma GCC diagnostic pop
}

// The command as it goes on the line, without its line end: "AT%%IFWR\r\n" gives "AT%IFWR".
void lineForm(const char* format, char* out, size_t capacity) {
    size_t n = 0;
    for (const char* p = format; *p && *p != '\r' && *p != '\n' && n + 1 < capacity; ++p) {
        if (p[0] == '%' && p[1] == '%') ++p;
        out[n++] = *p;
    }
    out[n] = '\0';
}

// Keeps the last answer, less the command's echo, the final OK and surrounding line breaks,
// with CR LF (or a lone CR) turned into "\n".
void keepAnswer(int port, const char* format, char* out) {
    const char* text = at_Response(port);
    const char* end = text + strlen(text);
    for (const char* ok = strstr(text, AT_OK_MARKER); ok; ok = strstr(ok + 1, AT_OK_MARKER))
        end = ok;
    char command[32];
    lineForm(format, command, sizeof command);
    size_t commandLength = strlen(command);
    if (strncmp(text, command, commandLength) == 0 &&
        (text[commandLength] == '\r' || text[commandLength] == '\n'))
        text += commandLength;
    while (text < end && (*text == '\r' || *text == '\n' || *text == ' ')) ++text;
    while (end > text && (end[-1] == '\r' || end[-1] == '\n' || end[-1] == ' ')) --end;
    size_t n = 0;
    for (const char* p = text; p < end && n + 1 < INIT_ANSWER_CAPACITY; ++p) {
        if (*p == '\r') {
            if (p + 1 < end && p[1] == '\n') ++p;
            out[n++] = '\n';
        } else {
            out[n++] = *p;
        }
    }
    out[n] = '\0';
}

// Sends a list, keeping each answer in the mode's slots from firstSlot on.
void sendList(int port, const char* const* commands, int count,
              char (*slots)[INIT_ANSWER_CAPACITY]) {
    for (int i = 0; i < count; ++i) {
        slots[i][0] = '\0';
        if (sendFormatted(port, commands[i]) == 1) keepAnswer(port, commands[i], slots[i]);
    }
}

// The number after the first ": " of the last reply, read as atoi does; -1 without ": ".
int replyNumber(int port, bool* found) {
    const char* colon = strstr(at_Response(port), ": ");
    *found = colon != nullptr;
    return colon ? atoi(colon + 2) : -1;
}

// A query answered with OK and a number after ": ", else -1.
int queryNumber(int port, const char* command) {
    if (sendFormatted(port, command) != 1) return -1;
    bool found;
    int n = replyNumber(port, &found);
    return found ? n : -1;
}

// Sends the mode command under the lock and closes the port. 1 when the modem took it; 0 when
// not (then the port is closed too when closeOnFailure). The lock is free afterwards. Nothing
// is written to a port that is not open: that fails at once.
int sendModeCommand(int port, int mode, bool closeOnFailure) {
    if (!com_IsOpen(port)) return 0;
    char command[32];
    snprintf(command, sizeof command, "AT%%%%MODE=%d\r\n", mode);
    LockGuard held(engine_ModeSwitchLock());
    if (sendFormatted(port, command) < 1) {
        if (closeOnFailure) com_Close(port);
        return 0;
    }
    com_Close(port);
    return 1;
}

// One reopen attempt under the lock. True when the port opened.
bool reopenOnce(int port, const char* name) {
    LockGuard held(engine_ModeSwitchLock());
    return com_Open(port, name) != nullptr;
}

// Keeps a port's error lines off the standard streams for a scope (the hook and the log file
// still get them): a reopen attempt that fails while more are to come is no error yet.
class QuietConsole {
  public:
    QuietConsole(int port, bool quiet) : report_(report_Port(port)) {
        if (report_) {
            saved_ = report_->consoleQuiet;
            report_->consoleQuiet = quiet ? 1 : saved_;
        }
    }
    ~QuietConsole() {
        if (report_) report_->consoleQuiet = saved_;
    }
    QuietConsole(const QuietConsole&) = delete;
    QuietConsole& operator=(const QuietConsole&) = delete;

  private:
    PortReport* report_;
    int32_t saved_ = 0;
};

// Up to 8 reopen attempts, 2 s apart, each under the name that nameFor gives right before
// it. 1 reopened with a valid handle, else 6 (logged). From the second attempt on each is
// announced as a wait; the failures of all but the last attempt stay off the console.
template <typename NameFor>
int reopen(int port, NameFor nameFor) {
    struct EndWait {
        int port;
        ~EndWait() { wait_End(port); }
    } endWait{port};
    for (int attempt = 1; attempt <= MODE_REOPEN_ATTEMPTS; ++attempt) {
        if (attempt > 1) {
            WaitNotice w = {};
            w.kind = WAIT_PORT_BACK;
            w.attempt = attempt;
            w.attempts = MODE_REOPEN_ATTEMPTS;
            w.upToSeconds = (MODE_REOPEN_ATTEMPTS - attempt + 1) * MODE_RETRY_PAUSE_S;
            wait_Announce(port, &w);
        }
        char name[PORT_NAME_CAPACITY];
        nameFor(name, sizeof name);
        QuietConsole quiet(port, attempt < MODE_REOPEN_ATTEMPTS);
        if (reopenOnce(port, name)) {
            if (ctx_Get(port)->portHandle == SERIAL_INVALID_HANDLE) {
                log_Error(port, kSwitchFailedBare);
                return MODE_REOPEN_FAILED;
            }
            return MODE_SWITCH_OK;
        }
        log_Error(port, kReopenFailed, attempt);
        sys_Sleep(MODE_RETRY_PAUSE_S);
    }
    log_Error(port, kSwitchFailed);
    // What a failure record says: the port, not the mode command the modem took.
    report_NoteCommand(port, "");
    report_NoteDetail(port, "its port did not come back within 8 reopen attempts");
    return MODE_REOPEN_FAILED;
}

// The pause after an accepted mode command, announced as the wait it is.
void switchPause(int port, int mode) {
    WaitNotice w = {};
    w.kind = WAIT_MODE_SWITCH;
    w.mode = mode;
    w.upToSeconds = MODE_SWITCH_PAUSE_S + MODE_REOPEN_ATTEMPTS * MODE_RETRY_PAUSE_S;
    wait_Announce(port, &w);
    sys_Sleep(MODE_SWITCH_PAUSE_S);
}

}  // namespace

int mode_LocatePortName(int portIndex, char* name, size_t capacity) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr || c->location[0] == '\0' || name == nullptr || capacity == 0) return 0;
    int32_t number = engine_PortLocator()->FindModemPortAt(c->location);
    if (number <= 0) return 0;
    snprintf(name, capacity, "COM%d", static_cast<int>(number));
    return 1;
}

int mode_Query(int portIndex) {
    int m = queryNumber(portIndex, "AT%%MODE?\r\n");
    if (m >= 0) ctx_Get(portIndex)->knownMode = m;
    return m;
}

int autorun_Query(int portIndex) {
    return queryNumber(portIndex, "AT%%USBMODEM?\r\n");
}

int autorun_Set(int portIndex, int value) {
    char command[40];
    snprintf(command, sizeof command, "AT%%%%USBMODEM=%d\r\n", value);
    if (sendFormatted(portIndex, command) != 1) return 0;
    if (at_Send(portIndex, "AT%%USBMODEM?\r\n") != 1) return -1;
    bool found;
    int n = replyNumber(portIndex, &found);
    if (found) return n == value ? 1 : 0;
    // A modem that names no value has it off.
    return value == 0 ? 1 : 0;
}

void mode_SendInitCommands(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return;
    int m = mode_Query(portIndex);
    if (m != MODE_MODEM && m != MODE_LOADER) return;
    if (c->modeInitDone[m]) return;
    sendList(portIndex, kCommonInit, kCommonInitCount, c->initAnswers[m]);
    if (m == MODE_MODEM)
        sendList(portIndex, kModemInit, kModemInitCount, c->initAnswers[m] + kCommonInitCount);
    else
        sendList(portIndex, kLoaderInit, kLoaderInitCount, c->initAnswers[m] + kCommonInitCount);
    c->modeInitDone[m] = 1;
}

const char* mode_InitAnswer(int portIndex, int mode, const char* command) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr || command == nullptr || (mode != MODE_MODEM && mode != MODE_LOADER) ||
        !c->modeInitDone[mode])
        return nullptr;
    const char* const* own = mode == MODE_MODEM ? kModemInit : kLoaderInit;
    int ownCount = mode == MODE_MODEM ? kModemInitCount : kLoaderInitCount;
    for (int slot = 0; slot < kCommonInitCount + ownCount; ++slot) {
        const char* format =
            slot < kCommonInitCount ? kCommonInit[slot] : own[slot - kCommonInitCount];
        char line[32];
        lineForm(format, line, sizeof line);
        if (strcmp(line, command) != 0) continue;
        const char* answer = c->initAnswers[mode][slot];
        return answer[0] ? answer : nullptr;
    }
    return nullptr;
}

void mode_ResetInitLatches(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return;
    c->modeInitDone[MODE_MODEM] = 0;
    c->modeInitDone[MODE_LOADER] = 0;
    memset(c->initAnswers, 0, sizeof c->initAnswers);
}

namespace {

// The name of the modem's port as it is now. A modem known by its USB location is looked for
// there only ("COM0", which opens nothing, while nothing is there): other modems' names may
// have moved meanwhile, and the first modem port found may be another modem's.
void findModemPort(int portIndex, char* name, size_t capacity) {
    if (mode_LocatePortName(portIndex, name, capacity) == 1) return;
    int32_t number =
        ctx_Get(portIndex)->location[0] != '\0' ? 0 : engine_PortLocator()->FindModemPort();
    snprintf(name, capacity, "COM%d", static_cast<int>(number));
}

}  // namespace

int mode_Switch(int portIndex, int mode) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return MODE_COMMAND_FAILED;
    if (!sendModeCommand(portIndex, mode, true)) return MODE_COMMAND_FAILED;
    int64_t dropped = clk_NowMs();
    switchPause(portIndex, mode);

    // The modem may come back under another number: ask the registry before every attempt,
    // outside the lock.
    int r = reopen(portIndex,
                   [&](char* name, size_t capacity) { findModemPort(portIndex, name, capacity); });
    if (r != MODE_SWITCH_OK) {
        c->goneAtMs = dropped;  // its port went with the command and has not come back
        return r;
    }
    c->knownMode = mode;
    log_Info(portIndex, "the port is %s\n\n", c->portName);
    return MODE_SWITCH_OK;
}

int mode_SwitchSamePort(int portIndex, int mode) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return MODE_COMMAND_FAILED;
    if (!sendModeCommand(portIndex, mode, false)) return MODE_COMMAND_FAILED;
    int64_t dropped = clk_NowMs();
    switchPause(portIndex, mode);

    // com_Open rewrites the context's name, so every attempt opens a copy of it. A modem known
    // by its USB location is opened at that location, whatever its port is called now: the
    // same name may by now belong to another modem.
    char saved[PORT_NAME_CAPACITY];
    snprintf(saved, sizeof saved, "%.*s", PORT_NAME_CAPACITY - 1, c->portName);
    int r = reopen(portIndex, [&](char* name, size_t capacity) {
        if (c->location[0] != '\0') {
            if (mode_LocatePortName(portIndex, name, capacity) != 1)
                snprintf(name, capacity, "COM0");
            return;
        }
        snprintf(name, capacity, "%s", saved);
    });
    if (r != MODE_SWITCH_OK) {
        c->goneAtMs = dropped;
        return r;
    }
    c->knownMode = mode;
    mode_SendInitCommands(portIndex);
    return MODE_SWITCH_OK;
}

int mode_EnterLoader(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return MODE_COMMAND_FAILED;
    (void)at_Send(portIndex, "ATE0\r\n");
    if (mode_Query(portIndex) != MODE_LOADER) {
        int r = mode_Switch(portIndex, MODE_LOADER);
        for (int retries = 0; r != MODE_SWITCH_OK; ++retries) {
            if (r == MODE_REOPEN_FAILED) {
                log_Error(portIndex, kLoaderReopenFailed);
                return MODE_REOPEN_FAILED;
            }
            if (retries == MODE_SWITCH_RETRIES) {
                log_Error(portIndex, kLoaderSwitchFailed);
                return r;
            }
            sys_Sleep(MODE_RETRY_PAUSE_S);
            // A failed switch closed the port: the retry reopens it first (and checks that a
            // modem that said nothing still answers) instead of writing to a closed port.
            int reached = mode_ReachModem(portIndex);
            if (reached == MODE_REOPEN_FAILED) {
                log_Error(portIndex, kLoaderReopenFailed);
                return MODE_REOPEN_FAILED;
            }
            if (reached != MODE_SWITCH_OK) {
                log_Error(portIndex, kLoaderSwitchFailed);
                return reached;
            }
            r = mode_SwitchSamePort(portIndex, MODE_LOADER);
        }
    }
    log_Info(portIndex, "change to Loader mode success\n");
    if (c->baudRate != DEFAULT_BAUD_RATE) {
        if (at_Send(portIndex, "AT+IPR=%d\r\n", c->baudRate) == 1) {
            com_SetSpeed(portIndex, c->baudRate);
        } else {
            log_Error(portIndex, "#Warning: could not set speed to %d bps\nKeeping %d bps\n",
                      c->baudRate, DEFAULT_BAUD_RATE);
        }
    }
    (void)at_Send(portIndex, "ATE0\r\n");
    return MODE_SWITCH_OK;
}

namespace {

// The port cannot carry a command: it is closed, or its device went away.
bool portLost(PortContext* c) {
    return c->portHandle == nullptr || c->portHandle == SERIAL_INVALID_HANDLE || !c->isOpen ||
           serial_IsGone(c->portHandle);
}

// One quiet attempt to open again a port this engine closed after a failed command: at the
// modem's location when it has one, else under the name it had. 1 when open.
bool reopenAtOnce(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    char name[PORT_NAME_CAPACITY];
    if (c->location[0] != '\0') {
        if (mode_LocatePortName(portIndex, name, sizeof name) != 1) return false;
    } else {
        if (c->portName[0] == '\0') return false;
        snprintf(name, sizeof name, "%.*s", PORT_NAME_CAPACITY - 1, c->portName);
    }
    QuietConsole quiet(portIndex, true);
    return reopenOnce(portIndex, name) && ctx_Get(portIndex)->portHandle != SERIAL_INVALID_HANDLE;
}

// Waits for a modem whose port went away at sinceMs as a mode switch waits for one: its first
// reopen attempt MODE_SWITCH_PAUSE_S after it went (at once when that is past), then up to 8
// attempts 2 s apart, each where the modem is now. 1 reopened, else 6.
int awaitReturn(int portIndex, int64_t sinceMs) {
    int64_t due = sinceMs + MODE_SWITCH_PAUSE_S * 1000;
    int64_t now = clk_NowMs();
    if (now < due) {
        WaitNotice w = {};
        w.kind = WAIT_VANISHED;
        w.upToSeconds = (due - now + 999) / 1000 + MODE_REOPEN_ATTEMPTS * MODE_RETRY_PAUSE_S;
        wait_Announce(portIndex, &w);
        clk_SleepMs(static_cast<uint32_t>(due - now));
    }
    return reopen(portIndex,
                  [&](char* name, size_t capacity) { findModemPort(portIndex, name, capacity); });
}

void recoveryFailed(int portIndex) {
    log_Error(portIndex, "Recover Setting fail!\n");
    notify_Text(portIndex, MSG_DL_STATUS, JOB_TEXT_RECOVERY_FAILED,
                "Recupero dati fallito, riavviare il modem!");
}

}  // namespace

int mode_ReachModem(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return MODE_COMMAND_FAILED;
    if (portLost(c)) {
        bool wentAway = c->goneAtMs != 0 || (c->isOpen && serial_IsGone(c->portHandle));
        if (c->isOpen) com_Close(portIndex);
        // A port that we closed after a failed command is most likely still there.
        bool opened = !wentAway && reopenAtOnce(portIndex);
        if (!opened) {
            if (c->goneAtMs == 0) c->goneAtMs = clk_NowMs();
            int64_t since = c->goneAtMs;
            if (awaitReturn(portIndex, since) != MODE_SWITCH_OK) {
                c->goneAtMs = since;  // the failed open reset the context
                return MODE_REOPEN_FAILED;
            }
        }
        log_Info(portIndex, "the port is %s\n\n", c->portName);
    }
    if (c->silent && !at_CheckAlive(portIndex)) return MODE_COMMAND_FAILED;
    return MODE_SWITCH_OK;
}

int mode_RecoverModem(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return MODE_COMMAND_FAILED;
    notify_Text(portIndex, MSG_DL_STATUS, JOB_TEXT_RECOVERING, "Recupero dati......");
    // A port that dropped mid-transfer (or never came back from a switch) cannot carry the
    // recovery's commands: the modem is waited for where it was, as after a mode switch. A
    // modem that let the last exchange pass in silence is asked whether it still answers before
    // any command that would wait a whole AT time-out for it.
    int r = mode_ReachModem(portIndex);
    if (r != MODE_SWITCH_OK) {
        recoveryFailed(portIndex);
        return r;
    }
    if (c->baudRate != DEFAULT_BAUD_RATE) {
        if (at_Send(portIndex, "AT+IPR=%d\r\n", DEFAULT_BAUD_RATE) != 1) return MODE_COMMAND_FAILED;
        com_SetSpeed(portIndex, DEFAULT_BAUD_RATE);
    }
    c->targetMode = MODE_MODEM;
    if (mode_Query(portIndex) != c->targetMode) {
        // Before every try the modem is reached again: a failed mode command leaves the port
        // closed (or gone), and a modem that answered nothing is checked, not waited for.
        r = mode_ReachModem(portIndex);
        for (int retries = 0; r == MODE_SWITCH_OK; ++retries) {
            r = mode_Switch(portIndex, c->targetMode);
            if (r == MODE_SWITCH_OK) break;
            if (retries == MODE_SWITCH_RETRIES) break;
            sys_Sleep(MODE_RETRY_PAUSE_S);
            r = mode_ReachModem(portIndex);
        }
        if (r != MODE_SWITCH_OK) {
            recoveryFailed(portIndex);
            return r;
        }
    }
    notify_Text(portIndex, MSG_DL_STATUS, JOB_TEXT_RECOVERED, "Recupero dati completato!");
    log_Info(portIndex, "recover to Modem mode success\n");
    return MODE_SWITCH_OK;
}
