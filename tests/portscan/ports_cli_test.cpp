// modemflash ports, run as a user runs it, on a private sysfs tree.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>

#include "sysfs_tree.h"

#ifdef MODEMFLASH_CLI_PATH

using portscantest::SysfsTree;
using portscantest::UsbDevice;

namespace {

struct CliRun {
    int status;
    std::string out;
};

CliRun runPorts(const SysfsTree& tree, const std::string& args) {
    std::string out = tree.dev() + "/../stdout";
    std::string command = std::string("'") + MODEMFLASH_CLI_PATH + "' ports " + args + " >'" + out +
                          "' 2>/dev/null </dev/null";
    int raw = system(command.c_str());
    return CliRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, testsupport::readFile(out)};
}

TEST(PortsCommand, MarksTheModemPortAmongTheOthers) {
    SysfsTree tree;
    tree.addSerialPort("ttyS0");
    tree.addNode("ttyS0");
    std::string usb = tree.addUsbDevice(UsbDevice{});
    tree.addCdcAcm(usb, 0, "ttyACM0", "Diagnostics");
    tree.addCdcAcm(usb, 2, "ttyACM1");
    tree.addNode("ttyACM0");
    tree.addNode("ttyACM1");
    CliRun r = runPorts(tree, "");
    EXPECT_EQ(r.status, 0);
    // Location and serial number of the USB device follow the device path.
    EXPECT_NE(r.out.find("* COM66    yes     " + tree.dev() + "/ttyACM1 1-1      0123456789 USB"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" LOCATION SERIAL "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  COM65 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  COM1 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("modem port: COM66\n"), std::string::npos) << r.out;
    r = runPorts(tree, "--selected");
    EXPECT_EQ(r.out, "COM66\n");
}

TEST(PortsCommand, SaysSoWhenNoPortIsAModem) {
    SysfsTree tree;
    tree.addSerialPort("ttyS0");
    tree.addNode("ttyS0");
    std::string usb = tree.addUsbDevice(UsbDevice{});
    tree.addCdcAcm(usb, 2, "ttyACM0");  // a modem, but not present
    CliRun r = runPorts(tree, "");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("  COM65    no "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("modem port: none\n"), std::string::npos) << r.out;
    EXPECT_EQ(runPorts(tree, "--selected").out, "");
}

}  // namespace

#endif
