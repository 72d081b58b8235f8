// modemflash ports: the serial ports the registry shows, and the one the modem search takes.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/ports/port_access.h"
#include "platform/error.h"
#include "platform/portname.h"
#include "portscan/modem_port_finder.h"

namespace {

const int EXIT_NO_MODEM = cli::EXIT_FIRST_OWN;

const char kPortsFooter[] =
    "Each line is a serial port found in the device tree (on Linux: synthesised from sysfs\n"
    "and the device directory, see MODEMFLASH_SYSFS_ROOT and MODEMFLASH_DEV_ROOT), and then\n"
    "any present port the tree does not show. '*' marks the port a download would use: the\n"
    "last one that lies on a USB enumerator, is present, and is named as a modem. LOCATION is\n"
    "where its USB device is plugged in (bus and hub ports, e.g. 1-1.3; on Windows the\n"
    "device's location text), SERIAL its USB serial number ('-' when the tree has none).\n"
    "A port this user may not open is marked [no access: group G], with the fix.\n"
    "\n"
    "Exit status: 0 a modem port was found, 1 the port walk failed, 3 no modem port.";

struct PortsOptions {
    bool selectedOnly = false;
};

struct Port {
    std::string portName;
    std::string friendlyName;
    std::string enumerator;
    bool inTree = true;
    std::string location;  // USB location ("1-1.3"), "" when the tree does not say
    std::string serial;    // USB serial number, "" when none
};

int collect(void* user, const SerialPortInfo* info) {
    static_cast<std::vector<Port>*>(user)->push_back(
        Port{info->portName, info->friendlyName, info->enumeratorName, true,
             info->location ? info->location : "", info->serialNumber ? info->serialNumber : ""});
    return 1;
}

// The ports a SERIALCOMM list names, in its order ("COM1:COM5:" -> COM1, COM5).
std::vector<std::string> splitPresent(const std::string& list) {
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t colon; (colon = list.find(':', start)) != std::string::npos; start = colon + 1)
        names.push_back(list.substr(start, colon - start));
    return names;
}

bool isPresent(const std::string& name, const std::string& present) {
    return present.find(name + ":") != std::string::npos;
}

// Whether the modem selection takes the port (the last one it takes is the modem's).
bool accepted(const Port& p, const std::string& present) {
    SerialPortInfo info = {
        p.portName.c_str(), p.friendlyName.c_str(), p.enumerator.c_str(), "", "", ""};
    // A name without a number gives none, as the selection's COM number 0.
    return ports_IsModemPort(&info, present) && atoi(p.portName.c_str() + 3) != 0;
}

std::string devicePath(const std::string& portName) {
    char path[512];
    if (portname_ParseCom(portName.c_str()) == 0) return "-";
    return portname_DevicePath(portName.c_str(), path, sizeof path) ? path : "-";
}

int runPorts(const PortsOptions& o) {
    // The list and the tree are of one moment: a port that comes or goes meanwhile is in both
    // or in neither.
    RegistrySnapshot snapshot;
    const std::string present = ports_ListSerialComm(snapshot);
    std::vector<Port> ports;
    int walked = ports_Enumerate(snapshot, collect, &ports);
    int walkError = walked == 1 ? 0 : err_Last();
    for (const std::string& name : splitPresent(present)) {
        bool listed = false;
        for (const Port& p : ports) listed = listed || p.portName == name;
        if (!listed) ports.push_back(Port{name, name, "", false, "", ""});
    }

    int selected = -1;
    for (size_t i = 0; i < ports.size(); ++i)
        if (ports[i].inTree && accepted(ports[i], present)) selected = static_cast<int>(i);

    if (walkError != 0) {
        char text[128];
        fprintf(stderr, "warning: the port walk ended early: error %d (%s)\n", walkError,
                err_Text(walkError, text, sizeof text));
    }
    if (o.selectedOnly) {
        if (selected >= 0) printf("%s\n", ports[selected].portName.c_str());
    } else if (ports.empty()) {
        printf("no serial ports found\n");
    } else {
        int width = 12;  // the device column fits its longest path
        for (const Port& p : ports)
            width = std::max(width, static_cast<int>(devicePath(p.portName).size()));
        int locationWidth = 8, serialWidth = 6;
        for (const Port& p : ports) {
            locationWidth = std::max(locationWidth, static_cast<int>(p.location.size()));
            serialWidth = std::max(serialWidth, static_cast<int>(p.serial.size()));
        }
        printf("  %-8s %-7s %-*s %-*s %-*s %-12s %s\n", "PORT", "PRESENT", width, "DEVICE",
               locationWidth, "LOCATION", serialWidth, "SERIAL", "ENUMERATOR", "FRIENDLY NAME");
        std::string deniedGroup;  // the group of a port this user may not open
        for (size_t i = 0; i < ports.size(); ++i) {
            const Port& p = ports[i];
            std::string group, mark;
            if (access_Denied(p.portName, &group)) {
                mark = "  [no access: group " + group + "]";
                deniedGroup = group;
            }
            printf("%c %-8s %-7s %-*s %-*s %-*s %-12s %s%s\n",
                   static_cast<int>(i) == selected ? '*' : ' ', p.portName.c_str(),
                   isPresent(p.portName, present) ? "yes" : "no", width,
                   devicePath(p.portName).c_str(), locationWidth,
                   p.location.empty() ? "-" : p.location.c_str(), serialWidth,
                   p.serial.empty() ? "-" : p.serial.c_str(),
                   p.enumerator.empty() ? "-" : p.enumerator.c_str(),
                   p.inTree ? p.friendlyName.c_str() : "(not in the device tree)", mark.c_str());
        }
        if (!deniedGroup.empty())
            printf(
                "no access: you may not open the marked ports; join their group with\n"
                "    sudo usermod -aG %s $USER\nthen log out and in again.\n",
                deniedGroup.c_str());
        if (selected >= 0)
            printf("modem port: %s\n", ports[selected].portName.c_str());
        else
            printf("modem port: none\n");
    }
    if (selected >= 0) return cli::EXIT_OK;
    return walkError != 0 ? cli::EXIT_FAILED : EXIT_NO_MODEM;
}

const cli::CommandRegistrar portsCommand{
    "ports", "List the serial ports and mark the modem's", [](CLI::App& app) {
        auto options = std::make_shared<PortsOptions>();
        app.add_flag("--selected", options->selectedOnly,
                     "Print only the modem port's name (nothing when there is none)");
        app.footer(kPortsFooter);
        return cli::Action([options] { return runPorts(*options); });
    }};

}  // namespace
