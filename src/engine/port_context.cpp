// The port context table and the serial channel.
#include "engine/port_context.h"

#include <stdio.h>
#include <string.h>

#include "engine/port_locator.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "report/job_observer.h"
#include "report/log.h"

namespace {

PortContext g_ports[PORT_CONTEXT_COUNT];

// Read time-outs return within about 10 ms with whatever arrived; writes give up after 200 ms.
const SerialTimeouts kChannelTimeouts = {10, 0, 10, 0, 200};

void resetAfterFailedOpen(PortContext* c) {
    c->portHandle = SERIAL_INVALID_HANDLE;
    c->isOpen = 0;
    c->portIndex = -1;
    c->atTimeout = -1;
    c->baudRate = -1;
    memset(c->portName, 0, sizeof c->portName);
}

void notePortName(PortContext* c, const char* name) {
    char* seen = c->portNamesSeen;
    size_t used = strlen(seen);
    size_t n = strlen(name);
    // Already listed? Names are compared whole, between commas.
    for (const char* p = seen; (p = strstr(p, name)) != nullptr; p += n) {
        bool starts = p == seen || p[-1] == ',';
        if (starts && (p[n] == ',' || p[n] == '\0')) return;
    }
    size_t needed = (used ? 1 : 0) + n;
    if (used + needed >= sizeof c->portNamesSeen) return;
    if (used) seen[used++] = ',';
    memcpy(seen + used, name, n + 1);
}

void channelError(int port, const char* format, const char* arg) {
    log_Channel(port, 2, format, arg);
}

bool portOpen(const PortContext* c) {
    return c->isOpen && c->portHandle != nullptr && c->portHandle != SERIAL_INVALID_HANDLE;
}

// A read or write failed: note when the device was first found gone.
void noteFailure(PortContext* c) {
    if (c->goneAtMs == 0 && serial_IsGone(c->portHandle)) c->goneAtMs = clk_NowMs();
}

// A failed open, as a failure record will tell it: the system's reason, or the name's.
void noteOpenFailure(int port, const char* why) {
    report_NoteSystemError(port, why != nullptr ? why : com_ErrorText(port));
}

void traceRead(int port, const uint8_t* bytes, int count) {
    if (report_Port(port)->comVerbosity < 3) return;
    for (int i = 0; i < count; ++i) {
        unsigned char b = bytes[i];
        bool shown = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        log_Channel(port, 3, "[%d] 0x%02X '%c'\n", i, b, shown ? b : '.');
    }
}

}  // namespace

PortContext* ctx_Get(int port) {
    if (port < 0 || port >= PORT_CONTEXT_COUNT) return nullptr;
    return &g_ports[port];
}

SerialHandle com_Open(int port, const char* name) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr) return nullptr;
    report_Port(port)->comVerbosity = 2;
    const char* shown = name ? name : "";
    if (name == nullptr || *name == '\0' || strlen(name) > PORT_NAME_MAX_LENGTH) {
        // The name does not fit the device path: refuse it as a device that cannot be opened.
        channelError(port, "\n#Error: failed to open [%s] device\n", shown);
        noteOpenFailure(port, "the port's name is empty or longer than 15 characters");
        resetAfterFailedOpen(c);
        return nullptr;
    }
    SerialHandle h = serial_Open(name, SERIAL_OPEN_SYNC);
    if (h == nullptr) {
        noteOpenFailure(port, nullptr);
        channelError(port, "\n#Error: failed to open [%s] device\n", shown);
        resetAfterFailedOpen(c);
        return nullptr;
    }
    // Before the first byte: a port that is no simulated modem's runs at real time.
    engine_CheckTimeScale(name);

    SerialTimeouts t;
    (void)serial_GetTimeouts(h, &t);
    t = kChannelTimeouts;
    if (!serial_SetTimeouts(h, &t)) {
        noteOpenFailure(port, nullptr);
        channelError(port, "\n#Error: failed to set com timeouts on [%s] device\n", shown);
        serial_Close(h);
        resetAfterFailedOpen(c);
        return nullptr;
    }

    SerialLine line;
    if (!serial_GetLine(h, &line)) line = SerialLine{};
    line.baud = DEFAULT_BAUD_RATE;
    line.dataBits = 8;
    line.parity = SERIAL_PARITY_NONE;
    line.stopBits = 1;
    line.parityCheck = 0;
    line.ctsFlow = 1;
    line.dsrFlow = 0;
    line.dtrEnable = 1;
    line.dsrSensitive = 0;
    line.xonXoff = 0;
    line.rtsHandshake = 1;
    if (!serial_SetLine(h, &line)) {
        noteOpenFailure(port, nullptr);
        channelError(port, "\n#Error: failed to set com port [%s] device\n", shown);
        serial_Close(h);
        resetAfterFailedOpen(c);
        return nullptr;
    }

    (void)serial_Purge(h, SERIAL_PURGE_TX_CLEAR | SERIAL_PURGE_RX_CLEAR);

    c->portHandle = h;
    c->isOpen = 1;
    c->portIndex = port;
    c->atTimeout = DEFAULT_AT_TIMEOUT_S;
    c->baudRate = DEFAULT_BAUD_RATE;
    c->blockSize = DEFAULT_BLOCK_SIZE;
    c->targetMode = 0;
    memset(c->portName, 0, sizeof c->portName);
    memcpy(c->portName, name, strlen(name));
    c->goneAtMs = 0;
    notePortName(c, name);
    return h;
}

int com_Close(int port) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr) return 0;
    int closed = 0;
    if (c->portHandle != nullptr && c->portHandle != SERIAL_INVALID_HANDLE)
        closed = serial_Close(c->portHandle);
    c->portHandle = SERIAL_INVALID_HANDLE;
    c->portIndex = -1;
    c->isOpen = 0;
    return closed;
}

int com_Write(int port, const void* bytes, int count) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr || count < 0) return -1;
    // Nothing goes to a port that is not open: its handle may by now be another device's.
    if (!portOpen(c)) {
        log_Channel(port, 2, "\n#Error: the port is not open: nothing written\n");
        return -1;
    }
    int n = serial_Write(c->portHandle, bytes, static_cast<size_t>(count));
    if (n < 0) {
        channelError(port, "\n#Error: WriteFile, errno=%s\n", com_ErrorText(port));
        noteFailure(c);
        return -1;
    }
    return n;
}

int com_Read(int port, void* buffer, int capacity) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr || capacity < 0) return -1;
    if (!portOpen(c)) {
        log_Channel(port, 2, "\n#Error: the port is not open: nothing read\n");
        return -1;
    }
    int n = serial_Read(c->portHandle, buffer, static_cast<size_t>(capacity));
    if (n < 0) {
        channelError(port, "\n#Error: ReadFile, errno=%s\n", com_ErrorText(port));
        noteFailure(c);
        return -1;
    }
    traceRead(port, static_cast<const uint8_t*>(buffer), n);
    return n;
}

int com_IsOpen(int port) {
    PortContext* c = ctx_Get(port);
    return c != nullptr && portOpen(c) ? 1 : 0;
}

int com_SetSpeed(int port, int speed) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr) return -3;
    SerialLine line;
    bool ok = speed > 0 && serial_GetLine(c->portHandle, &line);
    if (ok) {
        line.baud = static_cast<uint32_t>(speed);
        ok = serial_SetLine(c->portHandle, &line) != 0;
    }
    if (!ok) {
        channelError(port, "\n#Error: failed to update COM speed , errno=%s\n",
                     com_ErrorText(port));
        return -3;
    }
    return 1;
}

const char* com_ErrorText(int port) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr) return "";
    int saved = err_Last();
    err_Text(saved, c->errText, sizeof c->errText);
    err_SetLast(saved);
    return c->errText;
}

const char* ctx_PortNamesSeen(int port) {
    PortContext* c = ctx_Get(port);
    return c ? c->portNamesSeen : "";
}

void ctx_ForgetJobRecord(int port) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr) return;
    memset(c->portNamesSeen, 0, sizeof c->portNamesSeen);
    memset(c->initAnswers, 0, sizeof c->initAnswers);
    c->goneAtMs = 0;
    c->silent = 0;
    c->knownMode = LEFT_MODE_UNKNOWN;
    memset(&c->left, 0, sizeof c->left);
    c->left.mode = LEFT_MODE_UNKNOWN;
}

int ctx_LogLevel(int port, int level) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr) return -1;
    PortReport* r = report_Port(port);
    if (level >= 0) r->logLevel = level;
    return r->logLevel;
}

void ctx_SetLocation(int port, const char* location) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr) return;
    memset(c->location, 0, sizeof c->location);
    if (location != nullptr) {
        size_t n = strlen(location);
        memcpy(c->location, location, n < sizeof c->location - 1 ? n : sizeof c->location - 1);
    }
}

int ctx_SetTargetMode(int port, int mode) {
    PortContext* c = ctx_Get(port);
    if (c == nullptr || mode < 0 || mode > 3) return 0;
    c->targetMode = mode;
    return 1;
}

void at_SetTimeout(int port, int seconds) {
    if (PortContext* c = ctx_Get(port)) c->atTimeout = seconds;
}

void at_ResetTimeout(int port) {
    if (PortContext* c = ctx_Get(port)) c->atTimeout = DEFAULT_AT_TIMEOUT_S;
}
