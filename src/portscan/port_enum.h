// The registry walk for serial ports: the device tree below the enumeration root, or the list
// of present COM ports, each device handed to a callback.
#ifndef MODEMFLASH_PORTSCAN_PORT_ENUM_H
#define MODEMFLASH_PORTSCAN_PORT_ENUM_H

#include <stdint.h>

#include <string>

#include "platform/registry.h"

// Roots of the walk.
#define PORTS_ENUM_ROOT_CONSUMER "ENUM"
#define PORTS_ENUM_ROOT_NT "SYSTEM\\CURRENTCONTROLSET\\ENUM"
#define PORTS_SERIALCOMM_KEY "HARDWARE\\DEVICEMAP\\SERIALCOMM"
// The Ports device class.
#define PORTS_CLASS_GUID "{4D36E978-E325-11CE-BFC1-08002BE10318}"

// One device found by the walk. The texts are valid only during the callback.
struct SerialPortInfo {
    const char* portName;        // PORTNAME, e.g. COM5
    const char* friendlyName;    // FRIENDLYNAME, or the port name when the device has none
    const char* enumeratorName;  // first-level key below the root (e.g. USB); "" for SERIALCOMM
    // Where the modem is plugged in and its USB serial number; "" (or null, for records made
    // by hand) when the tree does not say. See ports_LocateInstance.
    const char* location;
    const char* serialNumber;
    // The device key below the enumerator ("VID_F00D&PID_9001&MI_02"): the device's USB
    // identity; "" (or null) for SERIALCOMM and records made by hand.
    const char* deviceName;
};

// Nonzero to go on with the walk, zero to end it.
typedef int (*PortEnumCallback)(void* userData, const SerialPortInfo* info);

// One picture of the machine's registry, taken once and read by every walk it is handed: the
// root opened below REG_HKLM (on Linux, one scan of sysfs and the device directory), so that
// the port list and the device tree that answer one question are of the same moment. Take one
// per question (a search pass, a listing); a walk called without one takes its own. When the
// root cannot be opened, the walks open their keys below REG_HKLM as before.
class RegistrySnapshot {
  public:
    RegistrySnapshot();
    ~RegistrySnapshot();
    RegistrySnapshot(const RegistrySnapshot&) = delete;
    RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;
    // The key the walks open their paths below.
    RegKey root() const { return root_; }

  private:
    RegKey root_ = REG_HKLM;
    bool opened_ = false;
};

// Walks the source the platform version calls for: the device tree below "ENUM" (consumer
// line), the SERIALCOMM list (NT 4) or the tree below SYSTEM\CurrentControlSet\Enum (NT 5
// and later). 1 when the walk ended normally (end of the data, or the callback asked to stop);
// 0 otherwise, with the registry's error code as the thread's last error (ERROR_OLD_WIN_VERSION
// for a platform it does not know, ERROR_INVALID_PARAMETER for a null callback).
int ports_Enumerate(PortEnumCallback callback, void* userData);
int ports_Enumerate(const RegistrySnapshot& snapshot, PortEnumCallback callback, void* userData);

// Walks enumerator -> device -> instance below rootPath and reports every instance of the
// Modem class, or of the Ports class GUID, whose port name begins with "COM". Access denied at
// a level ends that level as if its list had ended. Same result rule as ports_Enumerate.
int ports_EnumerateDeviceTree(const char* rootPath, PortEnumCallback callback, void* userData);
int ports_EnumerateDeviceTree(const RegistrySnapshot& snapshot, const char* rootPath,
                              PortEnumCallback callback, void* userData);

// Reports every value of HARDWARE\DEVICEMAP\SERIALCOMM (port name and friendly name both the
// value's data, empty enumerator). A missing key is an empty list. Same result rule.
int ports_EnumerateSerialComm(PortEnumCallback callback, void* userData);
int ports_EnumerateSerialComm(const RegistrySnapshot& snapshot, PortEnumCallback callback,
                              void* userData);

// The USB location and serial number of the device instance at
// <enumerator key>\<deviceName>\<instanceName> (instance open as instanceKey), read the way
// Windows keeps them:
//  - an interface of a composite device (deviceName holds "&MI_"): its USB device is the
//    instance below <enumerator>\<deviceName without "&MI_nn"> whose "ParentIdPrefix",
//    followed by '&', begins instanceName; the location is that device's
//    "LocationInformation", its serial number that device's instance name;
//  - any other device: its own "LocationInformation" and instance name.
// An instance name holding '&' is made by the system, not a serial number: the serial is "".
// Either text is "" when it cannot be found.
void ports_LocateInstance(RegKey enumeratorKey, const char* deviceName, const char* instanceName,
                          RegKey instanceKey, std::string* location, std::string* serialNumber);

// Opens the subkey at index of parent into *child. When name is not null it receives the
// subkey's name in a heap buffer (released first if one is there) that the caller releases
// with free(); it may hold a partial or empty name after a failure. Returns the registry's
// error code: that of naming the subkey (ERROR_NO_MORE_ITEMS past the last one) or of opening
// it, ERROR_NOT_ENOUGH_MEMORY when the buffer cannot be had.
long reg_OpenSubKeyAt(RegKey parent, uint32_t index, uint32_t access, RegKey* child, char** name);

// Reads the value called valueName into a heap buffer (the one in *buffer released first)
// that the caller releases with free(). The data are always followed by a terminator, whatever
// their type or length. Returns 0, the registry's error code (then *buffer is null), or
// ERROR_NOT_ENOUGH_MEMORY.
long reg_QueryValueAlloc(RegKey key, const char* valueName, char** buffer);

#endif
