// Selection of the modem's port among the serial ports the registry shows.
#ifndef MODEMFLASH_PORTSCAN_MODEM_PORT_FINDER_H
#define MODEMFLASH_PORTSCAN_MODEM_PORT_FINDER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "portscan/port_enum.h"

// The COM ports present at the last FindComNumber, each followed by ':' (e.g. "COM1:COM5:").
// FindComNumber holds a lock of its own over both globals; code that uses them directly (a
// test, the ports listing) runs while no job is looking for its modem.
extern std::string g_serialCommPorts;
// The COM number of the last port ports_SelectModem accepted; 0 until one is. Never reset.
extern int32_t g_lastFoundComNumber;

// The ports listed under HARDWARE\DEVICEMAP\SERIALCOMM, each followed by ':'. The list stops
// at the first value whose name or data do not fit 255 bytes; a missing key gives "".
std::string ports_ListSerialComm();

// The selection callback: accepts a device found under an enumerator whose name contains
// "cdcacm" or "USB", whose port is in g_serialCommPorts, and whose friendly name contains
// "Modem" or "USB to UART Bridge", by storing its COM number in g_lastFoundComNumber. All
// tests respect case. Returns 1 always, so the last accepted device in walk order wins.
int ports_SelectModem(void* userData, const SerialPortInfo* info);

// Whether a port passes the modem selection's tests (enumerator, presence in the given
// SERIALCOMM list, friendly name), without touching any process-wide state.
bool ports_IsModemPort(const SerialPortInfo* info, const std::string& presentPorts);

// Whether the port "COM<n>" is a simulated modem's: a device of the USB enumerator whose
// identity is the simulated modem's (platform/simulated_modem.h). Uses no process-wide state.
bool ports_IsSimulatedModemPort(const char* portName);

// A modem port present now, as the station sees it.
struct ModemPortInfo {
    int32_t comNumber;
    std::string portName;  // "COM65"
    std::string friendlyName;
    std::string location;      // USB location ("1-1.3"), "" when the tree does not say
    std::string serialNumber;  // USB serial number, "" when none
};

// Every present port that passes the modem selection, in walk order. Uses no process-wide
// state, so any thread may call it at any time.
std::vector<ModemPortInfo> ports_ListModems();

// Finds the modem's current COM number.
class CModemPortFinder {
  public:
    virtual ~CModemPortFinder() {}
    // Rebuilds g_serialCommPorts, walks the ports with ports_SelectModem and returns
    // g_lastFoundComNumber: the number accepted now, else one accepted earlier, else 0.
    int32_t FindComNumber();
    // The COM number of the modem port at a USB location now, or 0 when no modem port is
    // there at the moment. Never another location's port, never a number remembered from an
    // earlier walk; it uses no process-wide state.
    int32_t FindComNumberAt(const char* location);
};

#endif
