// Selection of the modem's port among the serial ports the registry shows.
#ifndef MODEMFLASH_PORTSCAN_MODEM_PORT_FINDER_H
#define MODEMFLASH_PORTSCAN_MODEM_PORT_FINDER_H

#include <stdint.h>

#include <string>

#include "portscan/port_enum.h"

// The COM ports present at the last FindComNumber, each followed by ':' (e.g. "COM1:COM5:").
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

// Finds the modem's current COM number.
class CModemPortFinder {
  public:
    virtual ~CModemPortFinder() {}
    // Rebuilds g_serialCommPorts, walks the ports with ports_SelectModem and returns
    // g_lastFoundComNumber: the number accepted now, else one accepted earlier, else 0.
    int32_t FindComNumber();
};

#endif
