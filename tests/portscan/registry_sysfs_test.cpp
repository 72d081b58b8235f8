// The sysfs registry on generated trees in both USB layouts, on broken trees, and on the
// machine's own /sys.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "device_tree.h"
#include "platform/registry.h"
#include "portscan/modem_port_finder.h"
#include "sysfs_tree.h"

using portscantest::Recorder;
using portscantest::SysfsTree;
using portscantest::UsbDevice;

namespace {

// Reads a string value below HKLM; "<missing>" when it is not there.
std::string value(const std::string& key, const char* name) {
    RegKey k;
    if (reg_Open(REG_HKLM, key.c_str(), REG_KEY_READ, &k) != 0) return "<missing>";
    char* buffer = nullptr;
    long r = reg_QueryValueAlloc(k, name, &buffer);
    std::string text = r == 0 ? buffer : "<missing>";
    free(buffer);
    reg_Close(k);
    return text;
}

// The SERIALCOMM list as name=data pairs.
std::map<std::string, std::string> serialComm() {
    std::map<std::string, std::string> list;
    RegKey k;
    if (reg_Open(REG_HKLM, "HARDWARE\\DEVICEMAP\\SERIALCOMM", REG_KEY_READ, &k) != 0) return list;
    for (uint32_t i = 0;; ++i) {
        char name[256], data[256];
        uint32_t nl = sizeof name, dl = sizeof data - 1;
        if (reg_EnumValue(k, i, name, &nl, nullptr, reinterpret_cast<uint8_t*>(data), &dl) != 0)
            break;
        data[dl] = 0;
        list[name] = data;
    }
    reg_Close(k);
    return list;
}

std::vector<std::string> walk() {
    Recorder rec;
    EXPECT_EQ(ports_Enumerate(Recorder::callback, &rec), 1);
    return rec.seen;
}

const std::string kUsbKey = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_F00D&PID_9001&MI_02";

class SysfsRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = reg_SetBackend(nullptr);  // the native backend
        g_lastFoundComNumber = 0;
    }
    void TearDown() override { reg_SetBackend(previous); }
    SysfsTree tree;
    const RegistryBackend* previous = nullptr;
};

TEST_F(SysfsRegistry, PublishesACdcAcmTtyAsAUsbPortOfThePortsClass) {
    std::string usb = tree.addUsbDevice(UsbDevice{});
    tree.addCdcAcm(usb, 2, "ttyACM0");
    tree.addNode("ttyACM0");
    std::string instance = kUsbKey + "\\1-1&02&ttyACM0";
    EXPECT_EQ(value(instance, "CLASSGUID"), PORTS_CLASS_GUID);
    EXPECT_EQ(value(instance, "FRIENDLYNAME"), "Simulated Modem (COM65)");
    EXPECT_EQ(value(instance + "\\Device Parameters", "PORTNAME"), "COM65");
    EXPECT_EQ(serialComm(), (std::map<std::string, std::string>{{"\\Device\\ttyACM0", "COM65"}}));
    EXPECT_EQ(walk(), std::vector<std::string>{"COM65|Simulated Modem (COM65)|USB"});
}

TEST_F(SysfsRegistry, WalksUpFromAUsbSerialPortToItsInterface) {
    UsbDevice d;
    d.idVendor = "12d1";
    d.idProduct = "1c05";
    std::string usb = tree.addUsbDevice(d);
    tree.addUsbSerial(usb, 0, "ttyUSB0");
    tree.addUsbSerial(usb, 3, "ttyUSB1", "Modem Port");
    tree.addNode("ttyUSB0");
    tree.addNode("ttyUSB1");
    std::string key = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_12D1&PID_1C05&MI_";
    // Without an interface string the product string names the port.
    EXPECT_EQ(value(key + "00\\1-1&00&ttyUSB0", "FRIENDLYNAME"), "Test LTE Modem (COM33)");
    EXPECT_EQ(value(key + "03\\1-1&03&ttyUSB1", "FRIENDLYNAME"), "Modem Port (COM34)");
    EXPECT_EQ(value(key + "03\\1-1&03&ttyUSB1\\Device Parameters", "PORTNAME"), "COM34");
    EXPECT_EQ(CModemPortFinder().FindComNumber(), 34);
}

TEST_F(SysfsRegistry, OnlyPortsWithADeviceNodeArePresent) {
    std::string usb = tree.addUsbDevice(UsbDevice{});
    tree.addCdcAcm(usb, 2, "ttyACM0");
    tree.addCdcAcm(usb, 4, "ttyACM1");
    tree.addNode("ttyACM1");
    EXPECT_EQ(serialComm(), (std::map<std::string, std::string>{{"\\Device\\ttyACM1", "COM66"}}));
    EXPECT_EQ(walk().size(), 2u);  // the device tree still holds both
    EXPECT_EQ(CModemPortFinder().FindComNumber(), 66);
    tree.removeNode("ttyACM1");
    RegKey k;
    EXPECT_EQ(reg_Open(REG_HKLM, "HARDWARE\\DEVICEMAP\\SERIALCOMM", REG_KEY_READ, &k),
              REG_ERROR_FILE_NOT_FOUND);
}

TEST_F(SysfsRegistry, ADanglingDeviceNodeIsNotPresent) {
    std::string usb = tree.addUsbDevice(UsbDevice{});
    tree.addCdcAcm(usb, 2, "ttyACM0");
    SysfsTree::symlink("/dev/pts/no-such-pty", tree.dev() + "/ttyACM0");
    EXPECT_TRUE(serialComm().empty());
}

TEST_F(SysfsRegistry, FollowsTheModemWhenItComesBackUnderAnotherNumber) {
    std::string usb = tree.addUsbDevice(UsbDevice{});
    tree.addCdcAcm(usb, 2, "ttyACM0");
    tree.addNode("ttyACM0");
    EXPECT_EQ(CModemPortFinder().FindComNumber(), 65);
    tree.unplug("ttyACM0");
    tree.addCdcAcm(usb, 2, "ttyACM1");
    tree.addNode("ttyACM1");
    EXPECT_EQ(CModemPortFinder().FindComNumber(), 66);
}

TEST_F(SysfsRegistry, OnBoardSerialPortsLieUnderAnotherEnumerator) {
    tree.addSerialPort("ttyS0");
    tree.addSerialPort("ttyS1", "0");  // no UART behind it
    tree.addVirtualTty("ttyS2");       // no device link
    tree.addVirtualTty("tty1");
    tree.addNode("ttyS0");
    tree.addNode("ttyS1");
    auto seen = walk();
    EXPECT_EQ(seen, std::vector<std::string>{"COM1|Communications Port (COM1)|ACPI"});
    EXPECT_EQ(serialComm(), (std::map<std::string, std::string>{{"\\Device\\ttyS0", "COM1"}}));
    EXPECT_EQ(CModemPortFinder().FindComNumber(), 0);
}

TEST_F(SysfsRegistry, SkipsTtysWithBrokenLinksOrMissingAttributes) {
    UsbDevice noVendor;
    noVendor.name = "1-2";
    noVendor.idVendor = "";
    tree.addCdcAcm(tree.addUsbDevice(noVendor), 0, "ttyACM0");
    UsbDevice oddVendor;
    oddVendor.name = "1-3";
    oddVendor.idVendor = "12G4";
    tree.addCdcAcm(tree.addUsbDevice(oddVendor), 0, "ttyACM1");
    // A class entry pointing nowhere, and one whose device link is broken.
    SysfsTree::symlink("../../devices/nowhere/ttyACM2", tree.sys() + "/class/tty/ttyACM2");
    std::string usb = tree.addUsbDevice(UsbDevice{});
    std::string iface = tree.addCdcAcm(usb, 2, "ttyACM3");
    SysfsTree::symlink("../../../gone", iface + "/tty/ttyACM3/device");
    // An interface without its number.
    std::string iface5 = tree.addCdcAcm(usb, 5, "ttyACM5");
    unlink((iface5 + "/bInterfaceNumber").c_str());
    // A tty below a device with no usb_interface above it.
    std::string plain = tree.sys() + "/devices/platform/x";
    SysfsTree::mkdirs(plain + "/tty/ttyUSB7");
    SysfsTree::symlink("../../../x", plain + "/tty/ttyUSB7/device");
    SysfsTree::symlink("../../devices/platform/x/tty/ttyUSB7", tree.sys() + "/class/tty/ttyUSB7");
    tree.addCdcAcm(usb, 4, "ttyACM4");  // the one good port
    for (const char* t : {"ttyACM0", "ttyACM1", "ttyACM2", "ttyACM3", "ttyACM4", "ttyUSB7"})
        tree.addNode(t);
    EXPECT_EQ(walk(), std::vector<std::string>{"COM69|Simulated Modem (COM69)|USB"});
}

TEST_F(SysfsRegistry, OddStringsArePublishedSafely) {
    UsbDevice d;
    d.product = std::string(5000, 'P');
    std::string usb = tree.addUsbDevice(d);
    std::string iface = tree.addCdcAcm(usb, 2, "ttyACM0", "");
    SysfsTree::write(iface + "/interface", std::string("Mo\x01\x1b"
                                                       "dem\\x",
                                                       9));
    tree.addNode("ttyACM0");
    std::string instance = kUsbKey + "\\1-1&02&ttyACM0";
    EXPECT_EQ(value(instance, "FRIENDLYNAME"), "Mo??dem\\x (COM65)");
    EXPECT_EQ(value(instance, "DEVICEDESC"), std::string(255, 'P'));
}

TEST_F(SysfsRegistry, RootsAreReadAtEveryOpenOfATopKey) {
    std::string usb = tree.addUsbDevice(UsbDevice{});
    tree.addCdcAcm(usb, 2, "ttyACM0");
    tree.addNode("ttyACM0");
    EXPECT_EQ(serialComm().size(), 1u);
    {
        SysfsTree empty;  // moves both roots to an empty tree while it lives
        EXPECT_TRUE(serialComm().empty());
        EXPECT_TRUE(walk().empty());
    }
    EXPECT_EQ(serialComm().size(), 1u);
}

TEST_F(SysfsRegistry, AnOpenKeyKeepsTheSnapshotItWasOpenedOn) {
    std::string usb = tree.addUsbDevice(UsbDevice{});
    tree.addCdcAcm(usb, 2, "ttyACM0");
    tree.addNode("ttyACM0");
    RegKey k;
    ASSERT_EQ(reg_Open(REG_HKLM, "HARDWARE\\DEVICEMAP\\SERIALCOMM", REG_KEY_READ, &k), 0);
    tree.unplug("ttyACM0");
    char name[64];
    uint8_t data[64];
    uint32_t nl = sizeof name, dl = sizeof data;
    EXPECT_EQ(reg_EnumValue(k, 0, name, &nl, nullptr, data, &dl), 0);
    EXPECT_EQ(reg_Close(k), 0);
    EXPECT_EQ(reg_Close(k), REG_ERROR_INVALID_HANDLE);
    EXPECT_TRUE(serialComm().empty());
}

TEST_F(SysfsRegistry, ReportsNtTen) {
    uint32_t id = 0, major = 0;
    reg_GetVersion(&id, &major);
    EXPECT_EQ(id, REG_PLATFORM_WIN32_NT);
    EXPECT_EQ(major, 10u);
}

}  // namespace
