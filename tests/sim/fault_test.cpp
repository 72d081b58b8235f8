// Scripted faults, each seen through the protocol core.
#include <string>

#include "core_fixture.h"
#include "gtest/gtest.h"

namespace {

using modemsim::DropRequest;
using simtest::Bytes;
using simtest::kAccepted;
using simtest::kError;
using simtest::kOk;

class FaultTest : public simtest::CoreTest {
  protected:
    void script(int mode, const std::string& text) {
        scenario = text;
        make(mode, text);
        send("ATE0\r\n");
    }
};

TEST_F(FaultTest, RefusesACommandTheGivenNumberOfTimes) {
    script(0, "refuse AT%MODE=1 times=2\n");
    EXPECT_EQ(send("AT%MODE=1\r\n"), kError);
    EXPECT_EQ(send("AT%MODE=1\r\n"), kError);
    EXPECT_EQ(send("AT%MODE=1\r\n"), kOk);
    DropRequest d;
    EXPECT_TRUE(core->takeDrop(&d));
}

TEST_F(FaultTest, RefusesACommandWithAnyArgumentByItsName) {
    script(0, "refuse AT+IPR times=all\n");
    EXPECT_EQ(send("AT+IPR=921600\r\n"), kError);
    EXPECT_EQ(send("AT+IPR=115200\r\n"), kError);
    EXPECT_EQ(send("AT+GMR\r\n").substr(0, 2), "\r\n");
    EXPECT_NE(send("AT+GMR\r\n"), kError);
}

TEST_F(FaultTest, RefusesEveryCommandWithAStar) {
    script(0, "refuse * times=all\n");  // ATE0 too: echo stays on
    EXPECT_EQ(send("AT\r\n"), "AT\r" + kError);
    EXPECT_EQ(send("AT%MODE?\r\n"), "AT%MODE?\r" + kError);
}

TEST_F(FaultTest, IgnoresACommandWithoutCarryingItOut) {
    script(1, "ignore AT%LOAD\n");
    EXPECT_EQ(send("AT%LOAD\r\n"), "");
    EXPECT_EQ(send("AT\r\n"), kOk);  // still taking commands, not frames
    EXPECT_EQ(send("AT%LOAD\r\n"), kOk);
}

TEST_F(FaultTest, AnswersLate) {
    script(0, "late AT%MODE? ms=700\n");
    out.events.clear();
    EXPECT_EQ(send("AT%MODE?\r\n"), "\r\n%MODE: 0\r\n" + kOk);
    std::vector<std::string> want = {"P700", "W"};
    EXPECT_EQ(out.events, want);
}

TEST_F(FaultTest, AnswersInPiecesThatSplitTheMarker) {
    script(0, "pieces AT size=3 gap=40\n");
    now += 1;
    core->feed(reinterpret_cast<const uint8_t*>("AT\r\n"), 4, now, out);
    std::vector<std::string> want = {"\r\nO", "K\r\n"};
    EXPECT_EQ(out.pieces, want);
    EXPECT_EQ(out.realPauses, std::vector<uint32_t>{40});
}

TEST_F(FaultTest, RejectsTheHeaderFrameWithTheChosenStatus) {
    script(1, "reject-header archive=1 times=2 status=AA07\n");
    send("AT%LOAD\r\n");
    Bytes frame = simtest::headerFrame(simtest::makeArchive(3, simtest::pattern(10)), 24, 16384);
    EXPECT_EQ(send(frame), std::string("\xAA\x07", 2));
    EXPECT_EQ(send(frame), std::string("\xAA\x07", 2));
    EXPECT_EQ(send(frame), kAccepted);
}

TEST_F(FaultTest, RejectsOnlyTheChosenBlockOfTheChosenArchive) {
    script(1, "reject-block archive=2 block=2 status=AA02\n");
    Bytes payload = simtest::pattern(600);
    Bytes file = simtest::makeArchive(3, payload);
    send("AT%LOAD\r\n");
    EXPECT_EQ(transfer(file, 24, 256), kAccepted + kAccepted + kAccepted + kAccepted);
    send("AT%LOAD\r\n");
    std::vector<Bytes> frames = simtest::dataFrames(payload.data(), payload.size(), 256);
    EXPECT_EQ(send(simtest::headerFrame(file, 24, 256)), kAccepted);
    EXPECT_EQ(send(frames[0]), kAccepted);
    EXPECT_EQ(send(frames[1]), std::string("\xAA\x02", 2));
    EXPECT_EQ(send(frames[1]), kAccepted);
    EXPECT_EQ(send(frames[2]), kAccepted);
    EXPECT_EQ(core->archives()[1].payload, payload);
    EXPECT_EQ(core->archives()[1].rejections, 1u);
}

TEST_F(FaultTest, SendsBytesAfterARejectionThatTheHostMayCountAsAccepted) {
    script(1, "reject-block archive=1 block=1 status=AA02 then=AA01\n");
    Bytes payload = simtest::pattern(512);
    Bytes file = simtest::makeArchive(3, payload);
    send("AT%LOAD\r\n");
    std::vector<Bytes> frames = simtest::dataFrames(payload.data(), payload.size(), 256);
    send(simtest::headerFrame(file, 24, 256));
    EXPECT_EQ(send(frames[0]), std::string("\xAA\x02\xAA\x01", 4));
    // A host that took AA 01 for acceptance sends block 2 next; the modem stores it in
    // block 1's place, so the flash store shows the loss.
    EXPECT_EQ(send(frames[1]), kAccepted);
    EXPECT_FALSE(core->archives()[0].complete);
    EXPECT_EQ(Bytes(core->archives()[0].payload.begin(), core->archives()[0].payload.end()),
              Bytes(payload.begin() + 256, payload.end()));
}

TEST_F(FaultTest, WithholdsOneFrameStatusThenTakesTheResend) {
    script(1, "ignore archive=1 block=2\n");
    Bytes payload = simtest::pattern(600);
    Bytes file = simtest::makeArchive(3, payload);
    send("AT%LOAD\r\n");
    std::vector<Bytes> frames = simtest::dataFrames(payload.data(), payload.size(), 256);
    EXPECT_EQ(send(simtest::headerFrame(file, 24, 256)), kAccepted);
    EXPECT_EQ(send(frames[0]), kAccepted);
    EXPECT_FALSE(core->withholding());
    EXPECT_EQ(send(frames[1]), "");
    EXPECT_TRUE(core->withholding()) << "the host can only wait";
    EXPECT_EQ(quiet(), "") << "an ignored frame is not rejected later either";
    EXPECT_EQ(send(frames[1]), kAccepted);
    EXPECT_FALSE(core->withholding());
    EXPECT_EQ(send(frames[2]), kAccepted);
    EXPECT_TRUE(core->archives()[0].complete);
}

TEST_F(FaultTest, IgnoringACommandWithholdsUntilTheNextInput) {
    script(0, "ignore AT%MODE?\n");
    EXPECT_EQ(send("AT%MODE?\r\n"), "");
    EXPECT_TRUE(core->withholding());
    EXPECT_EQ(send("AT\r\n"), kOk);
    EXPECT_FALSE(core->withholding());
}

TEST_F(FaultTest, SendsAFrameStatusLateOrOneByteAtATime) {
    script(1, "late archive=1 block=0 ms=900\npieces archive=1 block=1 gap=40\n");
    Bytes payload = simtest::pattern(300);
    Bytes file = simtest::makeArchive(3, payload);
    send("AT%LOAD\r\n");
    std::vector<Bytes> frames = simtest::dataFrames(payload.data(), payload.size(), 256);
    out.events.clear();
    EXPECT_EQ(send(simtest::headerFrame(file, 24, 256)), kAccepted);
    EXPECT_EQ(out.events, (std::vector<std::string>{"P900", "W"}));
    out.events.clear();
    EXPECT_EQ(send(frames[0]), kAccepted);
    EXPECT_EQ(out.events, (std::vector<std::string>{"W", "R40", "W"}));
    out.events.clear();
    EXPECT_EQ(send(frames[1]), kAccepted);
    EXPECT_EQ(out.events, std::vector<std::string>{"W"}) << "once only";
    EXPECT_TRUE(core->archives()[0].complete);
}

TEST_F(FaultTest, FallsSilentFromACommandOn) {
    script(1, "silent AT%PROG=2\n");
    EXPECT_EQ(send("AT\r\n"), kOk);
    EXPECT_EQ(send("AT%PROG=2\r\n"), "");
    EXPECT_EQ(send("AT\r\n"), "");
    EXPECT_TRUE(core->isSilent());
}

TEST_F(FaultTest, FallsSilentFromADataBlockOn) {
    script(1, "silent archive=1 block=2\n");
    Bytes payload = simtest::pattern(600);
    send("AT%LOAD\r\n");
    std::string s = transfer(simtest::makeArchive(3, payload), 24, 256);
    EXPECT_EQ(s, kAccepted + kAccepted);
    EXPECT_EQ(send("AT\r\n"), "");
}

TEST_F(FaultTest, VanishesMidTransferForGood) {
    script(1, "vanish archive=1 block=2\n");
    Bytes payload = simtest::pattern(600);
    send("AT%LOAD\r\n");
    EXPECT_EQ(transfer(simtest::makeArchive(3, payload), 24, 256), kAccepted + kAccepted);
    DropRequest d;
    ASSERT_TRUE(core->takeDrop(&d));
    EXPECT_FALSE(d.isModeSwitch);
    EXPECT_FALSE(d.comeBack);
    EXPECT_FALSE(core->archives()[0].complete);
}

TEST_F(FaultTest, VanishesAndComesBackAfterTheGivenTime) {
    script(1, "vanish archive=1 block=1 return=1500\n");
    send("AT%LOAD\r\n");
    transfer(simtest::makeArchive(3, simtest::pattern(10)), 24, 256);
    DropRequest d;
    ASSERT_TRUE(core->takeDrop(&d));
    EXPECT_TRUE(d.comeBack);
    EXPECT_FALSE(d.useRepublishDelay);
    EXPECT_EQ(d.extraDelayMs, 1500u);
    core->rebooted();
    EXPECT_EQ(core->mode(), 1);
    EXPECT_EQ(send("AT\r\n"), "AT\r" + kOk);
}

TEST_F(FaultTest, ComesBackLateAfterTheChosenSwitchOnly) {
    script(0, "return-late ms=9000 switch=2\n");
    DropRequest d;
    send("AT%MODE=1\r\n");
    ASSERT_TRUE(core->takeDrop(&d));
    EXPECT_EQ(d.extraDelayMs, 0u);
    core->rebooted();
    send("AT%MODE=0\r\n");
    ASSERT_TRUE(core->takeDrop(&d));
    EXPECT_EQ(d.extraDelayMs, 9000u);
    EXPECT_TRUE(d.comeBack);
}

TEST_F(FaultTest, NeverComesBackAfterASwitch) {
    script(0, "never-return\n");
    send("AT%MODE=1\r\n");
    DropRequest d;
    ASSERT_TRUE(core->takeDrop(&d));
    EXPECT_FALSE(d.comeBack);
}

TEST_F(FaultTest, ComesBackUnderAnotherNumber) {
    script(0, "renumber switch=1\n");
    DropRequest d;
    send("AT%MODE=1\r\n");
    ASSERT_TRUE(core->takeDrop(&d));
    EXPECT_TRUE(d.renumber);
    core->rebooted();
    send("AT%MODE=0\r\n");
    ASSERT_TRUE(core->takeDrop(&d));
    EXPECT_FALSE(d.renumber);
}

TEST_F(FaultTest, ReportsTheWrongModeAfterTheReturnToModemMode) {
    script(0, "wrong-mode value=1\n");
    EXPECT_EQ(send("AT%MODE?\r\n"), "\r\n%MODE: 0\r\n" + kOk);
    send("AT%MODE=1\r\n");
    core->rebooted();
    send("ATE0\r\n");
    send("AT%MODE=0\r\n");
    core->rebooted();
    send("ATE0\r\n");
    EXPECT_EQ(core->mode(), 0);
    EXPECT_EQ(send("AT%MODE?\r\n"), "\r\n%MODE: 1\r\n" + kOk);
}

TEST_F(FaultTest, KeepsAutorunOffWhileAnsweringOk) {
    script(0, "autorun-stuck\n");
    EXPECT_EQ(send("AT%USBMODEM=0\r\n"), kOk);
    EXPECT_EQ(send("AT%USBMODEM=1\r\n"), kOk);
    EXPECT_EQ(core->autorun(), 0);
    EXPECT_EQ(send("AT%USBMODEM?\r\n"), "\r\n%USBMODEM: 0\r\n" + kOk);
}

TEST_F(FaultTest, TakesTheGivenTimeToProgram) {
    script(1, "prog-time ms=25000\n");
    send("AT%LOAD\r\n");
    transfer(simtest::makeArchive(3, simtest::pattern(10)), 24, 256);
    out.events.clear();
    EXPECT_EQ(send("AT%PROG=0\r\n"), kOk);
    EXPECT_EQ(out.events, std::vector<std::string>{"W"});
    out.events.clear();
    EXPECT_EQ(send("AT%PROG=2\r\n"), kOk);
    std::vector<std::string> want = {"P25000", "W"};
    EXPECT_EQ(out.events, want);
}

TEST_F(FaultTest, ProgramsWithProgOneWhenProgTwoIsRefused) {
    script(1, "refuse AT%PROG=2\n");
    send("AT%LOAD\r\n");
    Bytes payload = simtest::pattern(10);
    transfer(simtest::makeArchive(8, payload), 24, 256);
    EXPECT_EQ(send("AT%PROG=2\r\n"), kError);
    EXPECT_FALSE(core->archives()[0].programmed);
    EXPECT_EQ(send("AT%PROG=1\r\n"), kOk);
    EXPECT_EQ(core->flash().at(8), payload);
}

// ---- the scenario text -------------------------------------------------------------------

TEST(ScenarioText, ReadsFaultsSkippingCommentsAndBlankLines) {
    modemsim::Scenario sc;
    std::string err;
    ASSERT_TRUE(modemsim::scenario_Parse(
        "# a comment\n\n  refuse at%load times=3   # trailing\nreject-block archive=2 block=5 "
        "status=aa05 then=AA01\n",
        &sc, &err))
        << err;
    ASSERT_EQ(sc.faults.size(), 2u);
    EXPECT_EQ(sc.faults[0].kind, modemsim::FAULT_REFUSE);
    EXPECT_EQ(sc.faults[0].command, "AT%LOAD");
    EXPECT_EQ(sc.faults[0].times, 3);
    EXPECT_EQ(sc.faults[1].block, 5);
    EXPECT_EQ(sc.faults[1].status[1], 0x05);
    EXPECT_EQ(sc.faults[1].after, (std::vector<uint8_t>{0xAA, 0x01}));
}

TEST(ScenarioText, RefusesBadLinesAndSaysWhich) {
    const char* bad[] = {"explode AT",
                         "late AT%MODE?",
                         "reject-block archive=1",
                         "refuse",
                         "reject-header archive=1 status=AA",
                         "refuse AT times=0",
                         "vanish",
                         "prog-time",
                         "refuse AT color=red"};
    for (const char* line : bad) {
        modemsim::Scenario sc;
        std::string err;
        EXPECT_FALSE(modemsim::scenario_Parse(std::string("ignore AT\n") + line, &sc, &err))
            << line;
        EXPECT_NE(err.find("line 2"), std::string::npos) << err;
        EXPECT_TRUE(sc.faults.empty());
    }
}

TEST(ScenarioText, RefusesMoreThan260BytesAfterARejection) {
    modemsim::Scenario sc;
    std::string err;
    EXPECT_TRUE(modemsim::scenario_Parse(
        "reject-block archive=1 block=1 then=" + std::string(520, 'A'), &sc, &err));
    EXPECT_FALSE(modemsim::scenario_Parse(
        "reject-block archive=1 block=1 then=" + std::string(522, 'A'), &sc, &err));
}

TEST(ScenarioText, MatchesCommandsByNameOrWhole) {
    EXPECT_TRUE(modemsim::scenario_CommandMatches("AT+IPR", "AT+IPR=921600"));
    EXPECT_TRUE(modemsim::scenario_CommandMatches("AT%MODE", "at%mode?"));
    EXPECT_TRUE(modemsim::scenario_CommandMatches("AT%MODE=1", "AT%MODE=1"));
    EXPECT_FALSE(modemsim::scenario_CommandMatches("AT%MODE=1", "AT%MODE=0"));
    EXPECT_FALSE(modemsim::scenario_CommandMatches("AT", "ATE0"));
    EXPECT_FALSE(modemsim::scenario_CommandMatches("AT%PROG", "AT%PROGRAM"));
    EXPECT_TRUE(modemsim::scenario_CommandMatches("*", "ANYTHING"));
}

}  // namespace
