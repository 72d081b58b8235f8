// Serial ports this user may not open: what to say about them.
#ifndef MODEMFLASH_TOOLS_PORT_ACCESS_H
#define MODEMFLASH_TOOLS_PORT_ACCESS_H

#include <string>

#include "portscan/modem_port_finder.h"

// The port "COM<n>" the library's modem search would take now, or "" when there is none.
// *search, when given, receives the whole pass, for the update to take (ports_HandOnSearch).
std::string access_ModemPortNow(ModemSearch* search = nullptr);

// Which modem a single `flash` updates: the port its search takes, and that port's USB
// location and serial number as the device tree tells them. note says why they do not name
// one modem for certain ("" when they do).
struct ModemIdentity {
    std::string port;      // "COM65"; "" when no modem port is present
    std::string location;  // "1-1.3"; "" when not known
    std::string serial;    // "" when not known
    std::string note;
};
ModemIdentity access_IdentityOf(const std::string& portName);

// The device path of port "COM<n>" ("" when it has none).
std::string access_DevicePath(const std::string& portName);

// True when this user may not open the port for lack of permission; the owning group is
// written into *group.
bool access_Denied(const std::string& portName, std::string* group);

// What to tell a user who may not open device (owned by group): that it is a permission
// matter, which group grants it, and how to join it.
std::string access_DeniedMessage(const std::string& device, const std::string& group);

#endif
