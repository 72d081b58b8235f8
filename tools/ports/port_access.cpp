#include "cli/ports/port_access.h"

#include "platform/device.h"
#include "platform/portname.h"

std::string access_ModemPortNow(ModemSearch* search) {
    CModemPortFinder finder;
    ModemSearch found = finder.Search();
    if (search) *search = found;
    return found.comNumber > 0 ? "COM" + std::to_string(found.comNumber) : "";
}

ModemIdentity access_IdentityOf(const std::string& portName) {
    ModemIdentity id;
    id.port = portName;
    if (portName.empty()) {
        id.note =
            "no modem port was present when the update began; the modem its search "
            "found later is not known by its USB location";
        return id;
    }
    for (const ModemPortInfo& p : ports_ListModems()) {
        if (p.portName != portName) continue;
        id.location = p.location;
        id.serial = p.serialNumber;
        if (p.location.empty())
            id.note = portName + " has no USB location in the device tree (not a USB modem?)";
        return id;
    }
    id.note = portName + " was not found among the modem ports when the update began";
    return id;
}

std::string access_DevicePath(const std::string& portName) {
    char path[512];
    if (portname_ParseCom(portName.c_str()) == 0) return "";
    return portname_DevicePath(portName.c_str(), path, sizeof path) ? path : "";
}

bool access_Denied(const std::string& portName, std::string* group) {
    std::string device = access_DevicePath(portName);
    char name[256];
    if (device.empty() || dev_CheckAccess(device.c_str(), name, sizeof name) != DEV_ACCESS_DENIED)
        return false;
    if (group) *group = name;
    return true;
}

std::string access_DeniedMessage(const std::string& device, const std::string& group) {
    // Membership of root's own group is no fix to hand out: it grants far more than a port.
    if (group == "root" || group == "0")
        return "modemflash: " + device +
               ": permission denied: you may not open the modem's port. It belongs to the group " +
               group +
               ", which is not for users to join: ask the administrator to give the modem's "
               "ports a group of their own (a udev rule with GROUP=\"dialout\", then join "
               "dialout), or run modemflash as root.\n";
    return "modemflash: " + device +
           ": permission denied: you may not open the modem's port. It belongs to the group " +
           group + "; join it with\n    sudo usermod -aG " + group +
           " $USER\nthen log out and in again (or run modemflash as root).\n";
}
