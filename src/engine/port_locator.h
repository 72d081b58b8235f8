// What the engine asks of port discovery. The engine knows no registry and no port finder:
// its host hands it one of these (engine_SetPortLocator), built on the host's port discovery.
//
// Every call may come from any job's thread at the same time: a locator keeps no state
// between calls, or guards it.
#ifndef MODEMFLASH_ENGINE_PORT_LOCATOR_H
#define MODEMFLASH_ENGINE_PORT_LOCATOR_H

#include <stdint.h>

class IPortLocator {
  public:
    virtual ~IPortLocator() {}
    // The COM number of the modem's port now, as the single-modem host selects it (a number
    // found earlier when none is found now), or 0.
    virtual int32_t FindModemPort() = 0;
    // The COM number of the modem port at a USB location now, or 0; never another location's.
    virtual int32_t FindModemPortAt(const char* location) = 0;
    // Whether "COM<n>" is the port of a simulated modem (by its USB identity).
    virtual bool IsSimulatedModemPort(const char* portName) = 0;
};

// The locator the engine uses from now on (not owned; null: one that finds nothing, so that
// a reopen after a mode switch fails cleanly). Hosts set it before their first job.
void engine_SetPortLocator(IPortLocator* locator);
IPortLocator* engine_PortLocator(void);

// Right after a port has been opened, before its first byte: tells the clock whether it is a
// simulated modem's, so that a time scale asked for never shortens a real modem's pauses
// (see clk_ScaleForPort). A port that opens is in the device tree by then: a simulated modem
// publishes its tree entries before the name the host opens.
void engine_CheckTimeScale(const char* portName);

#endif
