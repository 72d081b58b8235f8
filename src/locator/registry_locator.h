// The port discovery of this system (the registry walk of portscan) as the engine asks for it
// (IPortLocator). Hosts that run jobs (the single-modem host, the station) hand it to the
// engine; it keeps no state of its own.
#ifndef MODEMFLASH_LOCATOR_REGISTRY_LOCATOR_H
#define MODEMFLASH_LOCATOR_REGISTRY_LOCATOR_H

#include "engine/port_locator.h"

// Hands the registry locator to the engine (engine_SetPortLocator).
void locator_Install(void);

#endif
