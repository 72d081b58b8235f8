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
std::string ports_ListSerialComm(const RegistrySnapshot& snapshot);

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

// Every present port that passes the modem selection, in walk order, the port list and the
// device tree read from one snapshot (taken here, or the one handed in). Uses no process-wide
// state, so any thread may call it at any time.
std::vector<ModemPortInfo> ports_ListModems();
std::vector<ModemPortInfo> ports_ListModems(const RegistrySnapshot& snapshot);

// What one search pass found: the modem port's COM number, as FindComNumber returns it, and
// that port's USB location and serial number as the same snapshot shows them ("" when it
// does not show the port: a number remembered from an earlier pass).
struct ModemSearch {
    int32_t comNumber = 0;
    std::string location;
    std::string serialNumber;
};

// A search the host has just made before it starts an update (to check the port the update
// will take), handed on to that update's first search pass in this process, which takes it
// instead of looking again: one search per update. The next ports_TakeHandedOnSearch takes
// it, once; null drops one that was not taken.
void ports_HandOnSearch(const ModemSearch* search);
// The search handed on, if one is waiting: true with *out set, and it is gone.
bool ports_TakeHandedOnSearch(ModemSearch* out);

// Finds the modem's current COM number.
class CModemPortFinder {
  public:
    virtual ~CModemPortFinder() {}
    // Rebuilds g_serialCommPorts, walks the ports with ports_SelectModem and returns
    // g_lastFoundComNumber: the number accepted now, else one accepted earlier, else 0. The
    // list and the walk read one snapshot.
    int32_t FindComNumber();
    // The same pass, with the found port's identity read from the same snapshot.
    ModemSearch Search();
    // The COM number of the modem port at a USB location now, or 0 when no modem port is
    // there at the moment. Never another location's port, never a number remembered from an
    // earlier walk; it uses no process-wide state.
    int32_t FindComNumberAt(const char* location);
};

#endif
