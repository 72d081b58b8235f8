#include "locator/probe_port.h"

#include <stdio.h>
#include <string.h>

#include "engine/port_locator.h"
#include "platform/clock.h"

namespace {

constexpr int kPurgeAll =
    SERIAL_PURGE_TX_ABORT | SERIAL_PURGE_RX_ABORT | SERIAL_PURGE_TX_CLEAR | SERIAL_PURGE_RX_CLEAR;

// A read returns at once with what is queued, or waits at most 30 s for a first byte; a
// write gives up after 50 ms plus 1 ms per byte.
const SerialTimeouts kProbeTimeouts = {UINT32_MAX, UINT32_MAX, 30000, 1, 50};

}  // namespace

CProbePort::~CProbePort() {
    Close();
}

int CProbePort::Open(int comNumber, int baud, int dataBits, int stopBits) {
    if (isOpen) return 1;
    char name[32];
    snprintf(name, sizeof name, "COM%d", comNumber);
    SerialHandle h = serial_Open(name, SERIAL_OPEN_OVERLAPPED);
    if (h == nullptr) return 0;
    // Before the first byte: a port that is no simulated modem's runs at real time.
    engine_CheckTimeScale(name);

    // The mode "COM<n>: <baud>, n, <data>, <stop>": no parity and no flow control.
    SerialLine line;
    if (!serial_GetLine(h, &line)) line = SerialLine{};
    line.baud = static_cast<uint32_t>(baud);
    line.dataBits = static_cast<uint8_t>(dataBits);
    line.stopBits = static_cast<uint8_t>(stopBits);
    line.parity = SERIAL_PARITY_NONE;
    line.parityCheck = 0;
    line.ctsFlow = 0;
    line.dsrFlow = 0;
    line.dtrEnable = 1;
    line.dsrSensitive = 0;
    line.xonXoff = 0;
    line.rtsHandshake = 0;

    bool ok = serial_SetLine(h, &line) && serial_SetupQueues(h, 4096, 4096) &&
              serial_SetEventMask(h, 0x78) && serial_SetTimeouts(h, &kProbeTimeouts);
    if (!ok) {
        serial_Close(h);
        return 0;
    }
    handle = h;
    isOpen = 1;
    serial_Purge(handle, kPurgeAll);
    return 1;
}

int CProbePort::Close() {
    if (!isOpen || handle == nullptr) return 1;
    serial_Purge(handle, kPurgeAll);
    serial_Close(handle);
    handle = nullptr;
    isOpen = 0;
    return 1;
}

int CProbePort::Write(const void* data, int length) {
    if (!isOpen || handle == nullptr || length <= 0) return 0;
    serial_Purge(handle, kPurgeAll);
    int n = serial_WriteWait(handle, data, static_cast<size_t>(length), PROBE_WRITE_WAIT_MS);
    return n > 0 ? n : 0;
}

int CProbePort::BytesWaiting() {
    if (!isOpen || handle == nullptr) return 0;
    int n = serial_BytesWaiting(handle);
    return n > 0 ? n : 0;
}

int CProbePort::Read(void* buffer, int maxLength) {
    if (!isOpen || handle == nullptr || maxLength <= 0) return 0;
    int queued = BytesWaiting();
    if (queued == 0) return 0;
    int want = queued < maxLength ? queued : maxLength;
    int n = serial_ReadWait(handle, buffer, static_cast<size_t>(want), PROBE_READ_WAIT_MS);
    return n > 0 ? n : 0;
}

CAtProber::~CAtProber() {
    port.Close();
}

bool CAtProber::Probe() {
    return ProbeAT() || ProbeATI();
}

bool CAtProber::ProbeAT() {
    if (!port.IsOpen()) return false;
    return probeWith("AT\r", 3, "OK\r");
}

bool CAtProber::ProbeATI() {
    return probeWith("ATI\r", 4, "OK");
}

bool CAtProber::probeWith(const char* command, int length, const char* expected) {
    char reply[PROBE_REPLY_CAPACITY];
    memset(reply, 0, sizeof reply);
    port.Write(command, length);
    clk_SleepMs(PROBE_REPLY_WAIT_MS);
    // Only what fits before the terminator is read; the rest is purged by the next write.
    if (port.BytesWaiting() > 0) port.Read(reply, PROBE_REPLY_CAPACITY - 1);
    return strstr(reply, expected) != nullptr;
}
