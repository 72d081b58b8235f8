// The AT command exchange.
#include "engine/at.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "engine/port_context.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "report/job_observer.h"
#include "report/log.h"
#include "report/wait.h"

namespace {

// The command of txBuf as it went on the line, without its line end, for a wait notice.
void commandOnLine(const PortContext* c, char* out, size_t capacity) {
    size_t n = 0;
    const char* text = reinterpret_cast<const char*>(c->txBuf);
    if (strncmp(text, "AT", 2) != 0) {
        snprintf(out, capacity, "its last frame");  // txBuf held a frame of the transfer
        return;
    }
    while (text[n] && text[n] != '\r' && text[n] != '\n' && n + 1 < capacity) {
        out[n] = text[n];
        ++n;
    }
    out[n] = '\0';
}

void atError(int port, const char* format, const char* a, const char* b) {
    log_Channel(port, 2, format, a, b);
}

// Formats the command into txBuf and writes it. 1 when written, -2 when the write failed.
int writeCommand(int port, PortContext* c, const char* format, va_list args) {
    char* text = reinterpret_cast<char*>(c->txBuf);
    int n = vsnprintf(text, sizeof c->txBuf, format, args);
    size_t length = n < 0 ? 0 : strlen(text);
    report_NoteCommand(port, text);
    if (com_Write(port, text, static_cast<int>(length)) == -1) {
        int e = errno;
        atError(port, "\nfailed to write [%s], errno=%s\n", text, strerror(e));
        // A port whose device has gone takes no write: the modem dropped off, which is what
        // the record says.
        bool gone = c->goneAtMs != 0 || serial_IsGone(c->portHandle);
        report_NoteAnswer(port, gone ? JOB_ANSWER_PORT_GONE : JOB_ANSWER_WRITE_FAILED, "", 0);
        report_NoteSystemError(port, strerror(e));
        return -2;
    }
    return 1;
}

// True when the answer in rxBuf holds more than the echo of the command in txBuf: a modem
// that echoes what it gets but says nothing more has not answered.
bool answeredBeyondEcho(const PortContext* c) {
    const char* text = reinterpret_cast<const char*>(c->rxBuf);
    const char* sent = reinterpret_cast<const char*>(c->txBuf);
    size_t length = 0;
    while (sent[length] && sent[length] != '\r' && sent[length] != '\n') ++length;
    if (length > 0 && strncmp(text, sent, length) == 0) text += length;
    while (*text == '\r' || *text == '\n' || *text == ' ') ++text;
    return *text != '\0';
}

// Collects the answer until one of the markers, the time-out or too many failed reads, and
// notes how it ended for a failure record. An answer that takes longer than AT_SLOW_ANSWER_S
// is announced as a wait while it runs.
int collect(int port, PortContext* c, int64_t start, const char* success, const char* failure);

int collectAndNote(int port, PortContext* c, int64_t start, const char* success,
                   const char* failure) {
    int r = collect(port, c, start, success, failure);
    const char* answer = reinterpret_cast<const char*>(c->rxBuf);
    int kind = r == 1                               ? JOB_ANSWER_OK
               : r == -1                            ? JOB_ANSWER_TIMEOUT
               : strstr(answer, failure) != nullptr ? JOB_ANSWER_ERROR
                                                    : JOB_ANSWER_PORT_GONE;
    report_NoteAnswer(port, kind, answer, static_cast<int>(strlen(answer)));
    return r;
}

int collect(int port, PortContext* c, int64_t start, const char* success, const char* failure) {
    char* answer = reinterpret_cast<char*>(c->rxBuf);
    memset(c->rxBuf, 0, sizeof c->rxBuf);
    int received = 0;
    int failedReads = 0;
    bool announced = false;
    struct EndWait {
        int port;
        bool* announced;
        ~EndWait() {
            if (*announced) wait_End(port);
        }
    } endWait{port, &announced};
    for (;;) {
        int room = static_cast<int>(sizeof c->rxBuf) - 1 - received;
        int n = com_Read(port, c->rxBuf + received, room);
        if (n > 0) {
            received += n;
            c->rxBuf[received] = 0;
            failedReads = 0;
        } else if (n < 0) {
            if (++failedReads > AT_MAX_FAILED_READS) return 0;
        }
        // The time is tested before the markers: an answer completed in the pass in which
        // the time-out runs out still counts as a time-out.
        int64_t waited = clk_NowSeconds() - start;
        if (waited > c->atTimeout) {
            log_Channel(port, 2, "#ERROR: timeout\n\n");
            if (answeredBeyondEcho(c))
                c->silent = 0;
            else if (c->silent == 0)
                c->silent = 1;
            return -1;
        }
        if (!announced && waited >= AT_SLOW_ANSWER_S && !answeredBeyondEcho(c)) {
            WaitNotice w = {};
            w.kind = WAIT_ANSWER;
            w.upToSeconds = c->atTimeout - waited;
            commandOnLine(c, w.command, sizeof w.command);
            wait_Announce(port, &w);
            announced = true;
        }
        if (strstr(answer, success) != nullptr || strstr(answer, failure) != nullptr) {
            c->silent = 0;
            return strstr(answer, success) != nullptr ? 1 : 0;
        }
    }
}

}  // namespace

int at_Send(int port, const char* format, ...) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr || format == nullptr) return -2;
    va_list args;
    va_start(args, format);
    int64_t start = clk_NowSeconds();
    int w = writeCommand(port, c, format, args);
    va_end(args);
    if (w != 1) return w;
    return collectAndNote(port, c, start, AT_OK_MARKER, AT_ERROR_MARKER);
}

int at_SendExpect(int port, const char* successMarker, const char* failureMarker,
                  const char* format, ...) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr) return -2;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        int w = writeCommand(port, c, format, args);
        va_end(args);
        if (w != 1) return w;
    }
    int64_t start = clk_NowSeconds();
    if (successMarker == nullptr || failureMarker == nullptr) return 1;
    return collectAndNote(port, c, start, successMarker, failureMarker);
}

int at_CheckAlive(int port) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr || !com_IsOpen(port)) return 0;
    // Checked already and found silent: asking again so soon would only cost the time again.
    if (c->silent == 2) return 0;
    char command[WAIT_COMMAND_CAPACITY];
    commandOnLine(c, command, sizeof command);
    WaitNotice w = {};
    w.kind = WAIT_ALIVE;
    w.upToSeconds = AT_ALIVE_TIMEOUT_S;
    snprintf(w.command, sizeof w.command, "%s", command);
    wait_Announce(port, &w);
    static const char kProbe[] = "AT\r\n";
    memcpy(c->txBuf, kProbe, sizeof kProbe);
    int alive = 0;
    if (com_Write(port, kProbe, static_cast<int>(sizeof kProbe - 1)) ==
        static_cast<int>(sizeof kProbe - 1)) {
        // Bounded by the clock and by a count of empty reads of about 10 ms each, so that a
        // fast test clock still gives the modem about a second of real time.
        memset(c->rxBuf, 0, sizeof c->rxBuf);
        int64_t start = clk_NowSeconds();
        int empty = 0;
        int got = 0;
        for (;;) {
            int n = com_Read(port, c->rxBuf + got, static_cast<int>(sizeof c->rxBuf) - 1 - got);
            if (n < 0) break;
            got += n;
            if (answeredBeyondEcho(c)) {
                alive = 1;
                break;
            }
            if (got + 1 >= static_cast<int>(sizeof c->rxBuf)) break;
            if (n == 0) ++empty;
            if (empty >= AT_ALIVE_MIN_EMPTY_READS && clk_NowSeconds() - start > AT_ALIVE_TIMEOUT_S)
                break;
        }
    }
    wait_End(port);
    c->silent = alive ? 0 : 2;
    if (alive) {
        // What it said in answer is of no use; what follows must not be mistaken for an answer.
        clk_SleepMs(100);
        (void)serial_Purge(c->portHandle, SERIAL_PURGE_RX_CLEAR);
        memset(c->rxBuf, 0, sizeof c->rxBuf);
    }
    return alive;
}

const char* at_Response(int port) {
    PortContext* c = ctx_Get(port);
    return c ? reinterpret_cast<const char*>(c->rxBuf) : "";
}

void sys_Sleep(int seconds) {
    if (seconds > 0) clk_SleepMs(static_cast<uint32_t>(seconds) * 1000u);
}
