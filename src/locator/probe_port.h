// The port probe: a small serial port of its own with bounded waits, and the two AT probes.
#ifndef MODEMFLASH_LOCATOR_PROBE_PORT_H
#define MODEMFLASH_LOCATOR_PROBE_PORT_H

#include <stdint.h>

#include "platform/serial.h"

// The port search: up to 60 passes, a second apart, each probing the modem's port; the
// single-modem host's search and each station job's probe alike.
#define MAX_SEARCH_PASSES 60
#define SEARCH_PASS_PAUSE_MS 1000

#define PROBE_REPLY_CAPACITY 128
#define PROBE_REPLY_WAIT_MS 500
#define PROBE_WRITE_WAIT_MS 10000
#define PROBE_READ_WAIT_MS 2000

// A serial port opened for the probe (overlapped on Windows), independent of the engine's
// port contexts.
class CProbePort {
  public:
    CProbePort() = default;
    virtual ~CProbePort();
    CProbePort(const CProbePort&) = delete;
    CProbePort& operator=(const CProbePort&) = delete;

    // 1 when open (also when it already was), 0 on failure.
    int Open(int comNumber, int baud, int dataBits, int stopBits);
    // Always 1.
    int Close();
    // Purges both queues, then writes; the count written, 0 on failure or time-out.
    int Write(const void* data, int length);
    // Bytes in the input queue; 0 when none or not open.
    int BytesWaiting();
    // Reads at most maxLength of the queued bytes; the count, 0 when none or on failure.
    int Read(void* buffer, int maxLength);
    bool IsOpen() const { return isOpen != 0; }

  private:
    SerialHandle handle = nullptr;  // the open port; null when closed
    int32_t isOpen = 0;             // 1 while the port is open
};

// Runs the "AT\r" and "ATI\r" probes on its own probe port.
class CAtProber {
  public:
    CAtProber() = default;
    virtual ~CAtProber();  // closes the port if it is open

    // ProbeAT, and only when that fails ProbeATI.
    bool Probe();
    // "AT\r" answered with a reply holding "OK\r" within the reply wait.
    bool ProbeAT();
    // "ATI\r" answered with a reply holding "OK".
    bool ProbeATI();
    CProbePort& Port() { return port; }

  private:
    bool probeWith(const char* command, int length, const char* expected);
    CProbePort port;
};

#endif
