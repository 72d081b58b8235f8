// A time scale asked for shortens a simulated modem's pauses only: the first port of another
// device that is opened puts the process back to real time, with a warning.
#include <gtest/gtest.h>

#include <string>

#include "engine/port_context.h"
#include "platform/clock.h"
#include "portscan/modem_port_finder.h"
#include "support/test_support.h"
#include "sysfs_tree.h"

using portscantest::SysfsTree;
using portscantest::UsbDevice;

namespace {

// ttyACM0 (COM65) is a simulated modem's, ttyACM1 (COM66) another modem's; both open.
class TimeScale : public ::testing::Test {
  protected:
    SysfsTree tree;
    std::unique_ptr<testsupport::PtyPeer> simulated, real;

    void SetUp() override {
        tree.addCdcAcm(tree.addUsbDevice(UsbDevice()), 2, "ttyACM0");
        UsbDevice other;
        other.name = "1-2";
        other.idVendor = "1199";
        other.idProduct = "9071";
        tree.addCdcAcm(tree.addUsbDevice(other), 2, "ttyACM1");
        simulated = std::make_unique<testsupport::PtyPeer>(tree.dev(), "ttyACM0");
        real = std::make_unique<testsupport::PtyPeer>(tree.dev(), "ttyACM1");
    }
    void TearDown() override {
        com_Close(0);
        com_Close(1);
        clk_SetScale(1);
    }
    double scaleAfterOpening(int port, const char* name) {
        EXPECT_NE(com_Open(port, name), nullptr) << name;
        double scale = clk_Scale();
        com_Close(port);
        return scale;
    }
};

TEST_F(TimeScale, TheSimulatedModemsIdentityIsToldFromAnyOtherDevice) {
    EXPECT_TRUE(ports_IsSimulatedModemPort("COM65"));
    EXPECT_FALSE(ports_IsSimulatedModemPort("COM66"));
    EXPECT_FALSE(ports_IsSimulatedModemPort("COM67")) << "no such port";
    EXPECT_FALSE(ports_IsSimulatedModemPort(""));
}

TEST_F(TimeScale, AnAskedForScaleStaysForASimulatedModemAndEndsAtAnyOtherPort) {
    clk_RequestScale(100);
    EXPECT_EQ(clk_Scale(), 100) << "in force until a port is opened";
    EXPECT_EQ(scaleAfterOpening(0, "COM65"), 100);

    testsupport::CapturedStream err(2);
    EXPECT_EQ(scaleAfterOpening(1, "COM66"), 1);
    EXPECT_EQ(err.text(),
              "time scale 100 refused: COM66 is not a simulated modem's port; pauses and "
              "time-outs keep their real length from now on\n");
    EXPECT_EQ(scaleAfterOpening(0, "COM65"), 1) << "for good: the simulated modem too";
    clk_RequestScale(50);
    EXPECT_EQ(clk_Scale(), 1) << "and no later request brings it back";
    EXPECT_EQ(clk_RequestedScale(), 1);
    EXPECT_EQ(err.text().find("refused", 20), std::string::npos) << "said once";
}

TEST_F(TimeScale, AScaleSetOutrightIsNotAskedForAndStays) {
    clk_SetScale(50);  // tests, benchmarks and the simulated modem set theirs so
    EXPECT_EQ(scaleAfterOpening(1, "COM66"), 50);
}

}  // namespace
