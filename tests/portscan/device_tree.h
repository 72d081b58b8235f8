// Builds device trees in an in-memory registry the way Windows lays them out, and installs
// the registry as the backend for the life of the object.
#ifndef MODEMFLASH_TESTS_PORTSCAN_DEVICE_TREE_H
#define MODEMFLASH_TESTS_PORTSCAN_DEVICE_TREE_H

#include <string>
#include <vector>

#include "platform/registry_mem.h"
#include "portscan/port_enum.h"

namespace portscantest {

// One instance key below SYSTEM\CurrentControlSet\Enum. Empty strings are left out.
struct Device {
    std::string path;  // enumerator\device\instance, e.g. USB\VID_F00D&PID_9001&MI_02\6&1
    std::string deviceClass;
    std::string classGuid = PORTS_CLASS_GUID;
    std::string portName;
    bool portNameUnderParameters = false;
    std::string friendlyName;
};

class DeviceTree {
  public:
    DeviceTree();   // installs the tree as the registry
    ~DeviceTree();  // restores the backend that was in force
    MemRegistry& registry() { return registry_; }
    // The full key path of a path below the enumeration root.
    static std::string enumPath(const std::string& below);
    void add(const Device& d);
    // A USB modem port of the Ports class with PORTNAME under Device Parameters.
    void addUsbModem(const std::string& instance, const std::string& com,
                     const std::string& friendly = "Simulated Modem");
    // Lists the port under HARDWARE\DEVICEMAP\SERIALCOMM.
    void present(const std::string& device, const std::string& com);

  private:
    MemRegistry registry_;
    const RegistryBackend* previous_;
};

// Every device a walk reported, as "port|friendly|enumerator".
struct Recorder {
    std::vector<std::string> seen;
    int stopAfter = -1;  // end the walk after this many devices
    static int callback(void* self, const SerialPortInfo* info);
};

}  // namespace portscantest

#endif
