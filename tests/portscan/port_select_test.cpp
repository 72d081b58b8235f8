// The list of present ports, the platform-version dispatch, and the selection of the modem's
// port by CModemPortFinder.
#include <gtest/gtest.h>

#include <string>

#include "device_tree.h"
#include "platform/error.h"
#include "portscan/modem_port_finder.h"

using portscantest::Device;
using portscantest::DeviceTree;
using portscantest::Recorder;

namespace {

class ModemSelection : public ::testing::Test {
  protected:
    void SetUp() override { g_lastFoundComNumber = 0; }
    void TearDown() override { EXPECT_EQ(tree.registry().openHandleCount(), 0); }
    int find() { return CModemPortFinder().FindComNumber(); }
    DeviceTree tree;
};

TEST_F(ModemSelection, APortNameCom12Yields12) {
    tree.addUsbModem("a", "COM12");
    tree.present("ttyACM0", "COM12");
    EXPECT_EQ(find(), 12);
    EXPECT_EQ(g_serialCommPorts, "COM12:");
}

TEST_F(ModemSelection, APortAbsentFromTheListOfPresentPortsIsNotAccepted) {
    tree.addUsbModem("a", "COM5");
    tree.present("ttyS0", "COM1");
    EXPECT_EQ(find(), 0);
}

TEST_F(ModemSelection, Com1IsNotFoundInsideCom10) {
    tree.addUsbModem("a", "COM1");
    tree.present("ttyACM9", "COM10");
    EXPECT_EQ(find(), 0);
    tree.present("ttyS0", "COM1");
    EXPECT_EQ(find(), 1);
}

TEST_F(ModemSelection, TheDeviceVisitedLaterWins) {
    tree.addUsbModem("first", "COM7");
    tree.addUsbModem("second", "COM9");
    tree.present("a", "COM7");
    tree.present("b", "COM9");
    EXPECT_EQ(find(), 9);
}

TEST_F(ModemSelection, AWalkAcceptingNothingKeepsTheEarlierNumber) {
    tree.addUsbModem("a", "COM7");
    tree.present("a", "COM7");
    EXPECT_EQ(find(), 7);
    tree.registry().remove("HARDWARE\\DEVICEMAP\\SERIALCOMM");
    EXPECT_EQ(find(), 7);
    EXPECT_EQ(g_serialCommPorts, "");
}

TEST_F(ModemSelection, WithoutFriendlyNameOnlyThePortNameIsTested) {
    Device d;
    d.path = "USB\\VID_1&PID_2\\a";
    d.portName = "COM4";
    tree.add(d);
    tree.present("a", "COM4");
    EXPECT_EQ(find(), 0);
}

TEST_F(ModemSelection, TheEnumeratorMustBeUsbOrCdcAcmWithCaseRespected) {
    Device d;
    d.friendlyName = "Modem";
    d.portName = "COM3";
    d.path = "usb\\x\\1";
    tree.add(d);
    d.path = "ACPI\\x\\1";
    d.portName = "COM4";
    tree.add(d);
    tree.present("a", "COM3");
    tree.present("b", "COM4");
    EXPECT_EQ(find(), 0);
    d.path = "cdcacm\\x\\1";
    d.portName = "COM5";
    tree.add(d);
    tree.present("c", "COM5");
    EXPECT_EQ(find(), 5);
}

TEST_F(ModemSelection, TheFriendlyNameMustNameAModemOrTheUartBridge) {
    tree.addUsbModem("a", "COM3", "modem in lower case");
    tree.addUsbModem("b", "COM4", "Some Serial");
    tree.present("a", "COM3");
    tree.present("b", "COM4");
    EXPECT_EQ(find(), 0);
    tree.addUsbModem("c", "COM21", "CP2102 USB to UART Bridge Controller");
    tree.present("c", "COM21");
    EXPECT_EQ(find(), 21);
}

TEST_F(ModemSelection, OnNt4NoPortIsEverAccepted) {
    tree.registry().setVersion(REG_PLATFORM_WIN32_NT, 4);
    tree.addUsbModem("a", "COM7");
    tree.present("a", "COM7");
    EXPECT_EQ(find(), 0);
}

TEST_F(ModemSelection, ADeviceVanishingMidWalkLeavesTheOnesBeforeIt) {
    tree.addUsbModem("a", "COM7");
    tree.addUsbModem("b", "COM8");
    tree.present("a", "COM7");
    tree.present("b", "COM8");
    tree.registry().vanishOnOpen(DeviceTree::enumPath("USB\\VID_F00D&PID_9001&MI_02\\b").c_str());
    EXPECT_EQ(find(), 7);
}

class PresentPorts : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(tree.registry().openHandleCount(), 0); }
    DeviceTree tree;
};

TEST_F(PresentPorts, ListsEachPortFollowedByAColon) {
    tree.present("ttyS0", "COM1");
    tree.present("ttyACM0", "COM65");
    EXPECT_EQ(ports_ListSerialComm(), "COM1:COM65:");
}

TEST_F(PresentPorts, MissingKeyGivesAnEmptyList) {
    EXPECT_EQ(ports_ListSerialComm(), "");
}

TEST_F(PresentPorts, StopsAtTheFirstValueLongerThanItsBuffers) {
    tree.present("ttyS0", "COM1");
    tree.present("long", std::string(255, 'C'));  // 256 bytes with the terminator
    tree.present("ttyS2", "COM3");
    EXPECT_EQ(ports_ListSerialComm(), "COM1:");
    DeviceTree names;
    names.present(std::string(254, 'n'), "COM2");  // "\Device\" + 254: too long a name
    EXPECT_EQ(ports_ListSerialComm(), "");
}

TEST_F(PresentPorts, SerialCommWalkReportsDataWithEmptyEnumerator) {
    tree.present("ttyS0", "COM1");
    std::string longData = "COM" + std::string(300, '9');
    tree.present(std::string(200, 'x'), longData);  // grows both 32-byte buffers
    Recorder rec;
    EXPECT_EQ(ports_EnumerateSerialComm(Recorder::callback, &rec), 1);
    ASSERT_EQ(rec.seen.size(), 2u);
    EXPECT_EQ(rec.seen[0], "COM1|COM1|");
    EXPECT_EQ(rec.seen[1], longData + "|" + longData + "|");
}

TEST_F(PresentPorts, SerialCommWalkWithoutTheKeyEndsNormally) {
    Recorder rec;
    EXPECT_EQ(ports_EnumerateSerialComm(Recorder::callback, &rec), 1);
    EXPECT_TRUE(rec.seen.empty());
}

TEST_F(PresentPorts, SerialCommWalkDeniedEndsWithItsError) {
    tree.present("ttyS0", "COM1");
    tree.registry().denyAccess("HARDWARE\\DEVICEMAP\\SERIALCOMM");
    Recorder rec;
    EXPECT_EQ(ports_EnumerateSerialComm(Recorder::callback, &rec), 0);
    EXPECT_EQ(err_Last(), REG_ERROR_ACCESS_DENIED);
}

TEST_F(PresentPorts, SerialCommWalkStopsWhenTheCallbackSaysSo) {
    tree.present("a", "COM1");
    tree.present("b", "COM2");
    Recorder rec;
    rec.stopAfter = 1;
    EXPECT_EQ(ports_EnumerateSerialComm(Recorder::callback, &rec), 1);
    EXPECT_EQ(rec.seen.size(), 1u);
}

class VersionDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        tree.addUsbModem("a", "COM7");
        tree.present("ttyACM0", "COM8");
        // The consumer line's tree lies under ENUM.
        tree.registry().setString("ENUM\\USB\\dev\\1", "PORTNAME", "COM9");
        tree.registry().setString("ENUM\\USB\\dev\\1", "CLASS", "Modem");
    }
    std::vector<std::string> seenOn(uint32_t platform, uint32_t major, int* result) {
        tree.registry().setVersion(platform, major);
        Recorder rec;
        *result = ports_Enumerate(Recorder::callback, &rec);
        return rec.seen;
    }
    DeviceTree tree;
};

TEST_F(VersionDispatch, NtFiveAndLaterWalkTheDeviceTree) {
    int r;
    auto seen = seenOn(REG_PLATFORM_WIN32_NT, 5, &r);
    EXPECT_EQ(r, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "COM7|Simulated Modem (COM7)|USB");
}

TEST_F(VersionDispatch, Nt4WalksTheListOfPresentPorts) {
    int r;
    auto seen = seenOn(REG_PLATFORM_WIN32_NT, 4, &r);
    EXPECT_EQ(r, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "COM8|COM8|");
}

TEST_F(VersionDispatch, TheConsumerLineWalksEnum) {
    int r;
    auto seen = seenOn(REG_PLATFORM_WIN32_WINDOWS, 4, &r);
    EXPECT_EQ(r, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "COM9|COM9|USB");
}

TEST_F(VersionDispatch, OlderNtAndUnknownPlatformsAreRefused) {
    int r;
    err_SetLast(0);
    EXPECT_TRUE(seenOn(REG_PLATFORM_WIN32_NT, 3, &r).empty());
    EXPECT_EQ(r, 0);
    EXPECT_EQ(err_Last(), REG_ERROR_OLD_WIN_VERSION);
    err_SetLast(0);
    EXPECT_TRUE(seenOn(3, 10, &r).empty());
    EXPECT_EQ(r, 0);
    EXPECT_EQ(err_Last(), REG_ERROR_OLD_WIN_VERSION);
}

TEST_F(VersionDispatch, ANullCallbackIsAnInvalidParameter) {
    EXPECT_EQ(ports_Enumerate(nullptr, nullptr), 0);
    EXPECT_EQ(err_Last(), REG_ERROR_INVALID_PARAMETER);
}

}  // namespace
