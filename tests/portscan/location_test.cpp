// The USB location and serial number of a port: read from the parent USB device through
// ParentIdPrefix (as Windows keeps them, in an in-memory tree), published the same way by
// the sysfs backend, and the lookup of a modem's port by its location.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device_tree.h"
#include "portscan/modem_port_finder.h"
#include "sysfs_tree.h"

using portscantest::DeviceTree;
using portscantest::SysfsTree;
using portscantest::UsbDevice;

namespace {

// A composite USB modem as Windows lays it out: the device instance (named by its serial
// number, or by the system when it has none) and its modem interface below ...&MI_02.
void addWindowsModem(DeviceTree& tree, const std::string& parentInstance, const std::string& prefix,
                     const std::string& location, const std::string& com) {
    std::string parent = DeviceTree::enumPath("USB\\VID_F00D&PID_9001\\" + parentInstance);
    tree.registry().addKey(parent.c_str());
    tree.registry().setString(parent.c_str(), "ParentIdPrefix", prefix.c_str());
    tree.registry().setString(parent.c_str(), "LocationInformation", location.c_str());
    tree.addUsbModem(prefix + "&0002", com);
    tree.present("USBSER00" + com, com);
}

std::vector<std::string> modems() {
    std::vector<std::string> seen;
    for (const ModemPortInfo& p : ports_ListModems())
        seen.push_back(p.portName + "@" + p.location + "#" + p.serialNumber);
    return seen;
}

TEST(PortLocation, ComesFromTheParentDeviceWhosePrefixBeginsTheInterfaceInstance) {
    DeviceTree tree;
    // "7&1a" is a prefix of "7&1ab" as text: only a prefix followed by '&' counts.
    addWindowsModem(tree, "SN-A", "7&1a", "Port_#0001.Hub_#0002", "COM7");
    addWindowsModem(tree, "6&2f&0&4", "7&1ab", "Port_#0004.Hub_#0002", "COM9");
    EXPECT_EQ(modems(), (std::vector<std::string>{"COM7@Port_#0001.Hub_#0002#SN-A",
                                                  "COM9@Port_#0004.Hub_#0002#"}));
}

TEST(PortLocation, ASingleInterfaceDeviceCarriesItsOwnLocation) {
    DeviceTree tree;
    portscantest::Device d;
    d.path = "USB\\VID_F00D&PID_9002\\SERIAL42";
    d.portName = "COM12";
    d.portNameUnderParameters = true;
    d.friendlyName = "Simulated Modem (COM12)";
    tree.add(d);
    tree.registry().setString(DeviceTree::enumPath(d.path).c_str(), "LocationInformation", "2-3");
    tree.present("USBSER000", "COM12");
    EXPECT_EQ(modems(), std::vector<std::string>{"COM12@2-3#SERIAL42"});
}

TEST(PortLocation, FindComNumberAtTakesOnlyThePortAtThatLocation) {
    DeviceTree tree;
    addWindowsModem(tree, "SN-A", "7&1", "1-1.1", "COM7");
    addWindowsModem(tree, "SN-B", "7&2", "1-1.2", "COM8");
    CModemPortFinder finder;
    g_lastFoundComNumber = 0;
    EXPECT_EQ(finder.FindComNumberAt("1-1.1"), 7);
    EXPECT_EQ(finder.FindComNumberAt("1-1.2"), 8);
    EXPECT_EQ(finder.FindComNumberAt("1-1.3"), 0);  // nobody there: never another modem
    EXPECT_EQ(finder.FindComNumberAt(""), 0);
    EXPECT_EQ(g_lastFoundComNumber, 0);  // and the single-modem state is left alone
    EXPECT_EQ(finder.FindComNumber(), 8);
}

TEST(PortLocation, TheSysfsBackendPublishesTheUsbDevicePathAndSerial) {
    const RegistryBackend* previous = reg_SetBackend(nullptr);
    {
        SysfsTree tree;
        UsbDevice a;
        a.name = "1-1.3";
        a.serial = "SIM0003";
        UsbDevice b;
        b.name = "2-1.4.1";
        b.serial = "";  // a device without a serial number
        tree.addCdcAcm(tree.addUsbDevice(a), 2, "ttyACM1");
        tree.addCdcAcm(tree.addUsbDevice(b), 2, "ttyACM0");
        tree.addNode("ttyACM0");
        tree.addNode("ttyACM1");
        std::vector<std::string> seen = modems();
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<std::string>{"COM65@2-1.4.1#", "COM66@1-1.3#SIM0003"}));
        EXPECT_EQ(CModemPortFinder().FindComNumberAt("1-1.3"), 66);
        EXPECT_EQ(CModemPortFinder().FindComNumberAt("1-1"), 0);
    }
    reg_SetBackend(previous);
}

}  // namespace
