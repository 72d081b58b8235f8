// Reading the mode and the autorun setting, and the identification commands once per mode.
#include <string>
#include <vector>

#include "engine/at.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "mode_fixture.h"

namespace modetest {
namespace {

using Lines = std::vector<std::string>;

class ModeQuery : public ModeTest {};

TEST_F(ModeQuery, ReadsTheModeTheModemReports) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    startModem(o);
    EXPECT_EQ(mode_Query(kPort), 1);
    EXPECT_EQ(autorun_Query(kPort), 1);
}

TEST_F(ModeQuery, AReplyWithoutColonAndBlankIsNoMode) {
    ScriptedModem modem(devRoot, [](const std::string& line) -> std::string {
        if (line == "AT%MODE?") return "\r\nMODE 1\r\nOK\r\n";
        if (line == "AT%USBMODEM?") return "\r\n%USBMODEM:1\r\nOK\r\n";  // no blank
        return "\r\nOK\r\n";
    });
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    EXPECT_EQ(mode_Query(kPort), -1);
    EXPECT_EQ(autorun_Query(kPort), -1);
}

TEST_F(ModeQuery, AQueryAnsweredWithErrorIsNoMode) {
    ScriptedModem modem(devRoot, [](const std::string&) { return "\r\n%MODE: 1\r\nERROR\r\n"; });
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    EXPECT_EQ(mode_Query(kPort), -1);
}

TEST_F(ModeQuery, TheNumberIsReadAsAtoiDoes) {
    ScriptedModem modem(devRoot, [](const std::string&) { return "\r\n%MODE:  -2x\r\nOK\r\n"; });
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    EXPECT_EQ(mode_Query(kPort), -2);
}

TEST_F(ModeQuery, InitCommandsGoOutOncePerMode) {
    startModem(options());
    mode_SendInitCommands(kPort);
    mode_SendInitCommands(kPort);
    EXPECT_EQ(sim.commands(), (Lines{"AT%MODE?", "AT+GMR", "AT%IFWR", "AT%ICOMPAT", "AT%MODE?"}));
    EXPECT_EQ(ctx_Get(kPort)->modeInitDone[0], 1);
    EXPECT_EQ(ctx_Get(kPort)->modeInitDone[1], 0);
}

TEST_F(ModeQuery, TheOtherModeSendsItsOwnListOnceAfterASwitch) {
    startModem(options());
    mode_SendInitCommands(kPort);
    ASSERT_EQ(mode_SwitchSamePort(kPort, 1), 1);  // sends the loader list after the reopen
    mode_SendInitCommands(kPort);
    Lines all = sim.commands();
    Lines tail(all.end() - 5, all.end());
    EXPECT_EQ(tail, (Lines{"AT+GMR", "AT%IFWR", "AT%IFLIST", "AT%CHIPID", "AT%MODE?"}));
    EXPECT_EQ(ctx_Get(kPort)->modeInitDone[1], 1);
}

TEST_F(ModeQuery, NoInitCommandsWhenTheModeIsUnknown) {
    ScriptedModem modem(devRoot, [](const std::string&) { return "\r\nMODE 0\r\nOK\r\n"; });
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    mode_SendInitCommands(kPort);
    EXPECT_EQ(modem.lines(), Lines{"AT%MODE?"});
    EXPECT_EQ(ctx_Get(kPort)->modeInitDone[0], 0);
    EXPECT_EQ(ctx_Get(kPort)->modeInitDone[1], 0);
}

TEST_F(ModeQuery, AutorunSetReadsTheSettingBack) {
    startModem(options());
    EXPECT_EQ(autorun_Set(kPort, 0), 1);
    EXPECT_EQ(sim.autorun(), 0);
    EXPECT_EQ(autorun_Set(kPort, 1), 1);
    EXPECT_EQ(sim.autorun(), 1);
    Lines all = sim.commands();
    EXPECT_EQ(all, (Lines{"AT%USBMODEM=0", "AT%USBMODEM?", "AT%USBMODEM=1", "AT%USBMODEM?"}));
}

TEST_F(ModeQuery, AutorunSetFailsWhenTheSettingStaysOff) {
    modemsim::SimOptions o = options();
    o.initialAutorun = 0;
    o.scenario = "autorun-stuck\n";
    startModem(o);
    EXPECT_EQ(autorun_Set(kPort, 1), 0);
}

TEST_F(ModeQuery, AutorunSetRefusedIsZeroAndItsReadBackFailingIsMinusOne) {
    modemsim::SimOptions o = options();
    o.scenario = "refuse AT%USBMODEM=1\nrefuse AT%USBMODEM? times=1\n";
    startModem(o);
    EXPECT_EQ(autorun_Set(kPort, 1), 0);   // the set command refused
    EXPECT_EQ(autorun_Set(kPort, 1), -1);  // set, but the read-back refused
}

TEST_F(ModeQuery, ReadBackWithoutColonMeansOff) {
    ScriptedModem modem(devRoot, [](const std::string& line) -> std::string {
        if (line == "AT%USBMODEM?") return "\r\nUSBMODEM\r\nOK\r\n";
        return "\r\nOK\r\n";
    });
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    EXPECT_EQ(autorun_Set(kPort, 0), 1);
    EXPECT_EQ(autorun_Set(kPort, 1), 0);
    EXPECT_EQ(modem.lines(),
              (Lines{"AT%USBMODEM=0", "AT%USBMODEM?", "AT%USBMODEM=1", "AT%USBMODEM?"}));
}

}  // namespace
}  // namespace modetest
