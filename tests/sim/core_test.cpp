// The protocol core fed bytes directly: commands, frames, the flash store.
#include <string>

#include "core_fixture.h"
#include "gtest/gtest.h"
#include "sim_core.h"

namespace {

using modemsim::DropRequest;
using simtest::Bytes;
using simtest::CoreTest;
using simtest::kAccepted;
using simtest::kError;
using simtest::kOk;

// ---- probes and commands --------------------------------------------------------------

TEST_F(CoreTest, AnswersTheAtProbeWithOkAndCarriageReturn) {
    std::string a = send("AT\r");
    EXPECT_NE(a.find("OK\r"), std::string::npos) << a;
    EXPECT_NE(a.find(kOk), std::string::npos);
}

TEST_F(CoreTest, AnswersTheAtiProbeWithOk) {
    std::string a = send("ATI\r");
    EXPECT_NE(a.find("OK"), std::string::npos);
    EXPECT_NE(a.find("Modem"), std::string::npos);
}

TEST_F(CoreTest, EchoesCommandsUntilAte0) {
    EXPECT_EQ(send("AT\r\n"), "AT\r" + kOk);
    EXPECT_EQ(send("ATE0\r\n"), "ATE0\r" + kOk);
    EXPECT_EQ(send("AT\r\n"), kOk);
    EXPECT_FALSE(core->echo());
}

TEST_F(CoreTest, AnswersACommandSplitAcrossReads) {
    send("ATE0\r\n");
    EXPECT_EQ(send("AT%MO"), "");
    EXPECT_EQ(send("DE?\r"), "\r\n%MODE: 0\r\n" + kOk);
    EXPECT_EQ(send("\n"), "");
}

TEST_F(CoreTest, ReportsTheModeAfterColonSpace) {
    send("ATE0\r\n");
    EXPECT_EQ(send("AT%MODE?\r\n"), "\r\n%MODE: 0\r\n" + kOk);
}

TEST_F(CoreTest, ReportsAndStoresTheAutorunSetting) {
    send("ATE0\r\n");
    EXPECT_EQ(send("AT%USBMODEM?\r\n"), "\r\n%USBMODEM: 1\r\n" + kOk);
    EXPECT_EQ(send("AT%USBMODEM=0\r\n"), kOk);
    EXPECT_EQ(core->autorun(), 0);
    EXPECT_EQ(send("AT%USBMODEM?\r\n"), "\r\n%USBMODEM: 0\r\n" + kOk);
    EXPECT_EQ(send("AT%USBMODEM=7\r\n"), kError);
}

TEST_F(CoreTest, AnswersTheIdentificationCommands) {
    send("ATE0\r\n");
    for (const char* c :
         {"AT+GMR", "AT%IFWR", "AT%ICOMPAT", "AT%IFLIST", "AT%CHIPID", "AT%DEBUG=99"}) {
        std::string a = send(std::string(c) + "\r\n");
        EXPECT_EQ(a.substr(a.size() - kOk.size()), kOk) << c;
    }
    EXPECT_NE(send("AT%CHIPID\r\n").find("%CHIPID: "), std::string::npos);
}

TEST_F(CoreTest, TakesKnownLineSpeedsOnly) {
    send("ATE0\r\n");
    EXPECT_EQ(send("AT+IPR=921600\r\n"), kOk);
    EXPECT_EQ(send("AT+IPR=12345\r\n"), kError);
    EXPECT_EQ(send("AT+IPR=\r\n"), kError);
}

TEST_F(CoreTest, RefusesUnknownCommands) {
    send("ATE0\r\n");
    EXPECT_EQ(send("AT+BOGUS\r\n"), kError);
    EXPECT_EQ(send("AT%MODE=2\r\n"), kError);
    EXPECT_EQ(send("AT%MODE=1x\r\n"), kError);
    EXPECT_FALSE(core->deviations().empty());
}

TEST_F(CoreTest, RefusesLoaderCommandsInModemMode) {
    send("ATE0\r\n");
    EXPECT_EQ(send("AT%LOAD\r\n"), kError);
    EXPECT_EQ(send("AT%PROG=2\r\n"), kError);
    EXPECT_EQ(core->deviations().front(), "AT%LOAD in modem mode");
}

TEST_F(CoreTest, RefusesMalformedAndOverlongLinesWithoutLosingItsPlace) {
    send("ATE0\r\n");
    EXPECT_EQ(send(std::string("\xAA\x73garbage\r\n", 11)), kError);
    EXPECT_EQ(send(std::string(1000, 'A') + "\r\n"), kError);
    EXPECT_EQ(send("AT\r\n"), kOk);
}

TEST_F(CoreTest, RecordsCommandsInOrder) {
    send("AT\r");
    send("ATE0\r\nAT%MODE?\r\n");
    std::vector<std::string> want = {"AT", "ATE0", "AT%MODE?"};
    EXPECT_EQ(core->commands(), want);
}

TEST_F(CoreTest, NotesACommandLineEndedByCarriageReturnAlone) {
    send("ATE0\rAT\r");
    ASSERT_EQ(core->deviations().size(), 1u);
    EXPECT_EQ(core->deviations()[0], "command line ended with CR alone");
}

// ---- mode switch -----------------------------------------------------------------------

TEST_F(CoreTest, ModeCommandAnswersOkThenAsksToDropThePort) {
    send("ATE0\r\n");
    EXPECT_EQ(send("AT%MODE=1\r\n"), kOk);
    DropRequest d;
    ASSERT_TRUE(core->takeDrop(&d));
    EXPECT_TRUE(d.isModeSwitch);
    EXPECT_EQ(d.newMode, 1);
    EXPECT_TRUE(d.comeBack);
    EXPECT_FALSE(d.renumber);
    EXPECT_FALSE(core->takeDrop(&d));
    // Nothing is answered until the port is back.
    EXPECT_EQ(send("AT\r\n"), "");
    core->rebooted();
    EXPECT_EQ(core->mode(), 1);
    EXPECT_TRUE(core->echo());
    EXPECT_EQ(send("AT\r\n"), "AT\r" + kOk);
}

// ---- transfer ----------------------------------------------------------------------------

TEST_F(CoreTest, StoresTheProgrammedPayloadOfAGoodTransfer) {
    startLoad();
    Bytes payload = simtest::pattern(40000);
    Bytes file = simtest::makeArchive(3, payload);
    EXPECT_EQ(transfer(file, 24, 16384), kAccepted + kAccepted + kAccepted + kAccepted);
    ASSERT_EQ(core->archives().size(), 1u);
    const modemsim::ArchiveRecord& a = core->archives()[0];
    EXPECT_TRUE(a.complete);
    EXPECT_EQ(a.id, 3u);
    EXPECT_EQ(a.blocks, 3u);
    EXPECT_FALSE(a.programmed);
    EXPECT_EQ(send("AT%PROG=2\r\n"), kOk);
    ASSERT_EQ(core->flash().count(3), 1u);
    EXPECT_EQ(core->flash().at(3), payload);
    EXPECT_TRUE(core->archives()[0].programmed);
    EXPECT_TRUE(core->deviations().empty()) << core->deviations()[0];
}

TEST_F(CoreTest, KeepsTheSha256OfEachArchive) {
    startLoad();
    Bytes file = simtest::makeArchive(7, Bytes{'a', 'b', 'c'});
    transfer(file, 24, 16384);
    EXPECT_EQ(core->archives()[0].sha256,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(CoreTest, TakesOnlyTheLowTwentyFourBitsAsTheArchiveId) {
    startLoad();
    transfer(simtest::makeArchive(0xFF000007, simtest::pattern(10)), 24, 16384);
    EXPECT_EQ(core->archives()[0].id, 7u);
}

TEST_F(CoreTest, TakesAnOddLastBlockWithItsPadByte) {
    startLoad();
    Bytes payload = simtest::pattern(16385);
    Bytes file = simtest::makeArchive(0, payload);
    Bytes last = simtest::dataFrame(payload.data() + 16384, 1, 0xEE);
    ASSERT_EQ(last.size(), 6u);
    EXPECT_EQ(send(simtest::headerFrame(file, 24, 16384)), kAccepted);
    EXPECT_EQ(send(simtest::dataFrame(payload.data(), 16384)), kAccepted);
    EXPECT_EQ(send(last), kAccepted);
    EXPECT_EQ(core->archives()[0].payload, payload);
}

TEST_F(CoreTest, RejectsAnOddBlockSentWithoutItsPadByte) {
    startLoad();
    Bytes payload = simtest::pattern(3);
    Bytes file = simtest::makeArchive(0, payload);
    send(simtest::headerFrame(file, 24, 16384));
    Bytes noPad = {0xAA, 0x00, payload[0], payload[1], payload[2]};
    uint16_t sum = simtest::xor16(noPad, 4);  // what a sender without the pad would compute
    noPad.push_back((uint8_t)sum);
    noPad.push_back((uint8_t)(sum >> 8));
    std::string a = send(noPad);
    a += quiet();
    EXPECT_NE(a, kAccepted);
    EXPECT_EQ(a.substr(0, 1), "\xAA");
    EXPECT_FALSE(core->archives()[0].complete);
}

TEST_F(CoreTest, AcceptsAHeaderOfOddLengthWithTheLastByteOutsideTheChecksum) {
    startLoad();
    Bytes file = simtest::makeArchive(2, simtest::pattern(100), 25);
    Bytes frame = simtest::headerFrame(file, 25, 16384);
    ASSERT_EQ(frame.size(), 31u);
    Bytes changed = frame;
    changed[28] = 0x99;  // the uncovered last header byte: changing it must not matter
    EXPECT_EQ(send(changed), kAccepted);
    EXPECT_EQ(core->archives()[0].headerLength, 25u);
}

TEST_F(CoreTest, TakesTheExtendedHeaderAndStoresItsExtraBytesFirst) {
    startLoad();
    Bytes payload = simtest::pattern(5000);
    Bytes file = simtest::makeArchive(5, payload, 24, true);
    ASSERT_NE(simtest::xorWords(file, 24), 0u);
    ASSERT_EQ(simtest::xorWords(file, 32), 0u);
    EXPECT_EQ(send(simtest::headerFrame(file, 32, 4096)), kAccepted);
    // The data frames carry the payload size minus the 8 bytes already in the header frame.
    for (const Bytes& f : simtest::dataFrames(file.data() + 32, file.size() - 32, 4096)) {
        EXPECT_EQ(send(f), kAccepted);
    }
    ASSERT_TRUE(core->archives()[0].complete);
    EXPECT_TRUE(core->archives()[0].extended);
    EXPECT_EQ(core->archives()[0].payload, payload);
}

TEST_F(CoreTest, FinishesAnArchiveWithAnEmptyPayloadOnItsHeaderFrame) {
    startLoad();
    EXPECT_EQ(send(simtest::headerFrame(simtest::makeArchive(1, Bytes()), 24, 16384)), kAccepted);
    EXPECT_TRUE(core->archives()[0].complete);
    EXPECT_EQ(send("AT%PROG=1\r\n"), kOk);
    EXPECT_TRUE(core->flash().at(1).empty());
}

// ---- frame checking ----------------------------------------------------------------------

TEST_F(CoreTest, RejectsAHeaderFrameWithABadChecksumAndTakesTheResend) {
    startLoad();
    Bytes file = simtest::makeArchive(3, simtest::pattern(10));
    Bytes bad = simtest::headerFrame(file, 24, 16384);
    bad.back() ^= 0x01;
    EXPECT_EQ(send(bad), std::string("\xAA\x02", 2));
    EXPECT_TRUE(core->archives().empty());
    EXPECT_EQ(send(simtest::headerFrame(file, 24, 16384)), kAccepted);
}

TEST_F(CoreTest, RejectsAHeaderFrameWithTheWrongLeadOnceTheHostIsQuiet) {
    startLoad();
    Bytes frame = simtest::headerFrame(simtest::makeArchive(3, simtest::pattern(10)), 24, 16384);
    frame[0] = 0xAB;
    EXPECT_EQ(send(frame), "");
    EXPECT_EQ(quiet(), std::string("\xAA\x03", 2));
    EXPECT_EQ(core->deviations().back(), "header frame with lead byte 0xAB");
}

TEST_F(CoreTest, RejectsADataFrameWhereTheHeaderFrameBelongs) {
    startLoad();
    Bytes p = simtest::pattern(10);
    send(simtest::dataFrame(p.data(), p.size()));
    EXPECT_EQ(quiet(), std::string("\xAA\x03", 2));
}

TEST_F(CoreTest, RejectsAnOddBlockSize) {
    startLoad();
    send(simtest::headerFrame(simtest::makeArchive(3, simtest::pattern(10)), 24, 16383));
    EXPECT_EQ(quiet(), std::string("\xAA\x04", 2));
}

TEST_F(CoreTest, RejectsAHeaderWhoseXorHoldsInNeitherForm) {
    startLoad();
    Bytes file = simtest::makeArchive(3, simtest::pattern(100));
    file[20] ^= 0x10;
    send(simtest::headerFrame(file, 24, 16384));
    EXPECT_EQ(quiet(), std::string("\xAA\x04", 2));
    EXPECT_TRUE(core->archives().empty());
}

TEST_F(CoreTest, RejectsAHeaderWithTheWrongMagic) {
    startLoad();
    Bytes file = simtest::makeArchive(3, simtest::pattern(100));
    file[0] = 0x0B;
    send(simtest::headerFrame(file, 24, 16384));
    EXPECT_EQ(quiet(), std::string("\xAA\x04", 2));
    EXPECT_EQ(core->deviations().back(), "archive header with a wrong magic word");
}

TEST_F(CoreTest, RejectsADataFrameWithABadChecksumAndStoresTheResendOnce) {
    startLoad();
    Bytes payload = simtest::pattern(300);
    Bytes file = simtest::makeArchive(3, payload);
    send(simtest::headerFrame(file, 24, 256));
    std::vector<Bytes> frames = simtest::dataFrames(payload.data(), payload.size(), 256);
    Bytes bad = frames[0];
    bad[10] ^= 0x40;
    EXPECT_EQ(send(bad), std::string("\xAA\x02", 2));
    EXPECT_EQ(send(frames[0]), kAccepted);
    EXPECT_EQ(send(frames[1]), kAccepted);
    EXPECT_EQ(core->archives()[0].payload, payload);
    EXPECT_EQ(core->archives()[0].rejections, 1u);
}

TEST_F(CoreTest, RejectsAFrameCutShort) {
    startLoad();
    Bytes payload = simtest::pattern(300);
    send(simtest::headerFrame(simtest::makeArchive(3, payload), 24, 256));
    Bytes f = simtest::dataFrame(payload.data(), 256);
    f.resize(100);
    EXPECT_EQ(send(f), "");
    EXPECT_EQ(quiet(), std::string("\xAA\x04", 2));
}

TEST_F(CoreTest, WaitsLongerForAFrameThatStallsThanForTheEndOfGarbage) {
    startLoad();
    Bytes payload = simtest::pattern(300);
    send(simtest::headerFrame(simtest::makeArchive(3, payload), 24, 256));
    Bytes f = simtest::dataFrame(payload.data(), 256);
    send(Bytes(f.begin(), f.begin() + 100));
    now += modemsim::FRAME_GAP_MS + 1;
    core->tick(now, out);
    EXPECT_EQ(out.take(), "");  // a slow host, not yet a cut frame
    EXPECT_EQ(send(Bytes(f.begin() + 100, f.end())), kAccepted);
}

TEST_F(CoreTest, StopsRecordingAfterTheLimit) {
    send("ATE0\r\n");
    std::string many;
    for (int i = 0; i < 1000; ++i) many += "X\r";
    for (int i = 0; i < 11; ++i) send(many);
    EXPECT_EQ(core->deviations().size(), modemsim::RECORD_MAX_DEVIATIONS + 1);
    EXPECT_EQ(core->deviations().back(), "(further deviations not recorded)");
    EXPECT_EQ(send("AT\r\n"), kOk);
}

TEST_F(CoreTest, GivesTheArchiveUpAfterThreeRejectionsOfOneFrame) {
    startLoad();
    Bytes file = simtest::makeArchive(3, simtest::pattern(10));
    Bytes bad = simtest::headerFrame(file, 24, 16384);
    bad.back() ^= 0x01;
    send(bad);
    send(bad);
    send(bad);
    EXPECT_EQ(send("AT%MODE?\r\n"), "\r\n%MODE: 1\r\n" + kOk);
}

TEST_F(CoreTest, AbandonsATransferWhenTheHostClosesMidFrame) {
    startLoad();
    Bytes payload = simtest::pattern(300);
    send(simtest::headerFrame(simtest::makeArchive(3, payload), 24, 256));
    Bytes f = simtest::dataFrame(payload.data(), 256);
    f.resize(50);
    send(f);
    core->hostClosed();
    EXPECT_EQ(core->deviations().back(), "host closed the port mid-frame");
    EXPECT_EQ(send("AT\r\n"), kOk);
    EXPECT_FALSE(core->archives()[0].complete);
    EXPECT_EQ(send("AT%PROG=2\r\n"), kError);
}

TEST_F(CoreTest, DoesNotProgramAnOlderArchiveAfterAFailedLoad) {
    startLoad();
    transfer(simtest::makeArchive(3, simtest::pattern(10)), 24, 16384);
    EXPECT_EQ(send("AT%LOAD\r\n"), kOk);
    Bytes payload = simtest::pattern(300);
    send(simtest::headerFrame(simtest::makeArchive(4, payload), 24, 256));
    core->hostClosed();
    EXPECT_EQ(send("AT%PROG=2\r\n"), kError);
    EXPECT_TRUE(core->flash().empty());
}

TEST_F(CoreTest, ProgramsOnlyACompleteArchive) {
    make(1);
    send("ATE0\r\n");
    EXPECT_EQ(send("AT%PROG=2\r\n"), kError);
    EXPECT_EQ(send("AT%PROG=0\r\n"), kError);
}

TEST_F(CoreTest, ChecksTheSignatureWithProgZeroWithoutProgramming) {
    startLoad();
    transfer(simtest::makeArchive(4, simtest::pattern(10)), 24, 16384);
    EXPECT_EQ(send("AT%PROG=0\r\n"), kOk);
    EXPECT_TRUE(core->archives()[0].signatureChecked);
    EXPECT_TRUE(core->flash().empty());
}

TEST_F(CoreTest, SurvivesRandomBytesInEveryState) {
    simtest::Bytes noise = simtest::pattern(20000, 9);
    make(1);
    send(noise);
    quiet();
    send("\r\nAT%LOAD\r\n");
    send(noise);
    quiet();
    core->hostClosed();
    send("ATE0\r\n");
    EXPECT_EQ(send("AT\r\n"), kOk);
}

TEST_F(CoreTest, ReportsWhatItReceivedAsJson) {
    startLoad();
    transfer(simtest::makeArchive(3, Bytes{'a', 'b', 'c'}), 24, 16384);
    send("AT%PROG=2\r\n");
    std::string j = core->reportJson("ttyACM0", 65);
    EXPECT_NE(j.find("\"commands\": [\"ATE0\", \"AT%LOAD\", \"AT%PROG=2\"]"), std::string::npos)
        << j;
    EXPECT_NE(j.find("{\"id\": 3, \"size\": 3, \"sha256\": "
                     "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\""),
              std::string::npos)
        << j;
    EXPECT_NE(j.find("\"programmed\": true"), std::string::npos);
    EXPECT_NE(j.find("\"mode\": 1"), std::string::npos);
}

}  // namespace
