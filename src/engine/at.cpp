// The AT command exchange.
#include "engine/at.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "engine/port_context.h"
#include "platform/clock.h"
#include "report/job_observer.h"
#include "report/log.h"

namespace {

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
        report_NoteAnswer(port, JOB_ANSWER_WRITE_FAILED, "", 0);
        report_NoteSystemError(port, strerror(e));
        return -2;
    }
    return 1;
}

// Collects the answer until one of the markers, the time-out or too many failed reads, and
// notes how it ended for a failure record.
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
        if (clk_NowSeconds() - start > c->atTimeout) {
            log_Channel(port, 2, "#ERROR: timeout\n\n");
            return -1;
        }
        if (strstr(answer, success) != nullptr) return 1;
        if (strstr(answer, failure) != nullptr) return 0;
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

const char* at_Response(int port) {
    PortContext* c = ctx_Get(port);
    return c ? reinterpret_cast<const char*>(c->rxBuf) : "";
}

void sys_Sleep(int seconds) {
    if (seconds > 0) clk_SleepMs(static_cast<uint32_t>(seconds) * 1000u);
}
