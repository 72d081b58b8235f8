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

TEST_F(ModeQuery, TheAnswersAreKeptPerModeWithoutEchoOrOk) {
    startModem(options());  // the modem echoes: ATE0 has not been sent yet
    mode_SendInitCommands(kPort);
    ASSERT_NE(mode_InitAnswer(kPort, 0, "AT+GMR"), nullptr);
    EXPECT_STREQ(mode_InitAnswer(kPort, 0, "AT+GMR"), "SIM_1.0.0 [2026-01-01]");
    EXPECT_STREQ(mode_InitAnswer(kPort, 0, "AT%IFWR"), "%IFWR: BT2 1.0.0, LDR 1.0.0, MDM 1.0.0");
    EXPECT_STREQ(mode_InitAnswer(kPort, 0, "AT%ICOMPAT"), "%ICOMPAT: 1");
    EXPECT_EQ(mode_InitAnswer(kPort, 0, "AT%CHIPID"), nullptr) << "not on the modem-mode list";
    EXPECT_EQ(mode_InitAnswer(kPort, 1, "AT+GMR"), nullptr) << "loader mode not seen yet";
    ASSERT_EQ(mode_SwitchSamePort(kPort, 1), 1);
    EXPECT_STREQ(mode_InitAnswer(kPort, 1, "AT%CHIPID"), "%CHIPID: 0x51A0C0DE 0x00000001");
    EXPECT_STREQ(mode_InitAnswer(kPort, 0, "AT+GMR"), "SIM_1.0.0 [2026-01-01]") << "still kept";
}

TEST_F(ModeQuery, AMultiLineAnswerKeepsItsLinesAndARefusedOneIsNotKept) {
    ScriptedModem modem(devRoot, [](const std::string& line) -> std::string {
        if (line == "AT%MODE?") return "\r\n%MODE: 0\r\n\r\nOK\r\n";
        if (line == "AT+GMR") return "AT+GMR\r\r\nFW 2.1\r\nbuild 17\r\n\r\nOK\r\n";
        if (line == "AT%IFWR") return "\r\nERROR\r\n";
        return "\r\nOK\r\n";
    });
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    mode_SendInitCommands(kPort);
    EXPECT_STREQ(mode_InitAnswer(kPort, 0, "AT+GMR"), "FW 2.1\nbuild 17");
    EXPECT_EQ(mode_InitAnswer(kPort, 0, "AT%IFWR"), nullptr);
    EXPECT_EQ(mode_InitAnswer(kPort, 0, "AT%ICOMPAT"), nullptr) << "OK and nothing else";
}

// A port context that starts a job for another modem: its next identification goes out
// again and the earlier modem's answers are gone.
TEST_F(ModeQuery, ResettingTheLatchesSendsTheListAgainAndForgetsTheAnswers) {
    startModem(options());
    mode_SendInitCommands(kPort);
    ASSERT_NE(mode_InitAnswer(kPort, 0, "AT+GMR"), nullptr);
    mode_ResetInitLatches(kPort);
    EXPECT_EQ(ctx_Get(kPort)->modeInitDone[0], 0);
    EXPECT_EQ(mode_InitAnswer(kPort, 0, "AT+GMR"), nullptr);
    mode_SendInitCommands(kPort);
    EXPECT_EQ(sim.commands(), (Lines{"AT%MODE?", "AT+GMR", "AT%IFWR", "AT%ICOMPAT", "AT%MODE?",
                                     "AT+GMR", "AT%IFWR", "AT%ICOMPAT"}));
    EXPECT_NE(mode_InitAnswer(kPort, 0, "AT+GMR"), nullptr);
}

TEST_F(ModeQuery, ThePortNamesOfAJobAreKeptInOrderOnce) {
    startModem(options());  // opened as COM65
    ctx_ForgetJobRecord(kPort);
    com_Close(kPort);
    EXPECT_EQ(com_Open(kPort, "COM66"), nullptr) << "a name that did not open is not listed";
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    com_Close(kPort);
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    EXPECT_STREQ(ctx_PortNamesSeen(kPort), "COM65");
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
