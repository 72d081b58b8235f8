#include "device_tree.h"

namespace portscantest {

DeviceTree::DeviceTree() {
    registry_.addKey("SYSTEM\\CurrentControlSet\\Enum");
    previous_ = reg_SetBackend(registry_.backend());
}

DeviceTree::~DeviceTree() {
    reg_SetBackend(previous_);
}

std::string DeviceTree::enumPath(const std::string& below) {
    return "SYSTEM\\CurrentControlSet\\Enum\\" + below;
}

void DeviceTree::add(const Device& d) {
    std::string key = enumPath(d.path);
    registry_.addKey(key.c_str());
    if (!d.deviceClass.empty()) registry_.setString(key.c_str(), "Class", d.deviceClass.c_str());
    if (!d.classGuid.empty()) registry_.setString(key.c_str(), "ClassGUID", d.classGuid.c_str());
    if (!d.portName.empty()) {
        std::string where = d.portNameUnderParameters ? key + "\\Device Parameters" : key;
        registry_.setString(where.c_str(), "PortName", d.portName.c_str());
    }
    if (!d.friendlyName.empty())
        registry_.setString(key.c_str(), "FriendlyName", d.friendlyName.c_str());
}

void DeviceTree::addUsbModem(const std::string& instance, const std::string& com,
                             const std::string& friendly) {
    Device d;
    d.path = "USB\\VID_F00D&PID_9001&MI_02\\" + instance;
    d.portName = com;
    d.portNameUnderParameters = true;
    d.friendlyName = friendly + " (" + com + ")";
    add(d);
}

void DeviceTree::present(const std::string& device, const std::string& com) {
    registry_.setString("HARDWARE\\DEVICEMAP\\SERIALCOMM", ("\\Device\\" + device).c_str(),
                        com.c_str());
}

int Recorder::callback(void* self, const SerialPortInfo* info) {
    Recorder* r = static_cast<Recorder*>(self);
    r->seen.push_back(std::string(info->portName) + "|" + info->friendlyName + "|" +
                      info->enumeratorName);
    return r->stopAfter < 0 || static_cast<int>(r->seen.size()) < r->stopAfter;
}

}  // namespace portscantest
