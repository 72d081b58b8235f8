// The block transfer against a scripted loader: the bytes on the wire, resends, the
// rejection log, the bounds on a silent or stuck modem.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "engine/engine_lock.h"
#include "engine/port_context.h"
#include "engine/transfer.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "transfer_fixture.h"

using namespace transfertest;
using Step = ScriptedLoader::Step;

namespace {

Bytes toBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
std::string fileText(const std::string& path) {
    return testsupport::readFile(path);
}
bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

class Wire : public TransferTest {};

// --- Frames --------------------------------------------------------------------------------

TEST_F(Wire, A24ByteHeaderGivesA30ByteHeaderFrame) {
    std::string path = writeArchive(Bytes{}, 3);
    ScriptedLoader loader(devRoot, 0, {okStep(30)});
    openPort();
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 1u);
    Bytes f = toBytes(frames[0]);
    ASSERT_EQ(f.size(), 30u);
    EXPECT_EQ(f[0], 0xAA);
    EXPECT_EQ(f[1], 0x73);
    EXPECT_EQ(f[2], 0x00);
    EXPECT_EQ(f[3], 0x40);
    Bytes archive = toBytes(testsupport::readFile(path));
    EXPECT_EQ(Bytes(f.begin() + 4, f.begin() + 28), archive);
    EXPECT_EQ(f[28] | f[29] << 8, xor16(f, 0, 28));
    EXPECT_EQ(loader.trailing(), "") << "payload 0: no data frame";
    EXPECT_TRUE(progress().empty());
    EXPECT_TRUE(events().empty());
}

TEST_F(Wire, AnOddHeaderFrameKeepsItsLastHeaderByteOutsideTheChecksum) {
    std::string path = writeArchive(countingPayload(10), 3, 25);
    ScriptedLoader loader(devRoot, 0, {okStep(31), okStep(14)});
    openPort();
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 2u);
    Bytes f = toBytes(frames[0]);
    ASSERT_EQ(f.size(), 31u);
    Bytes archive = toBytes(testsupport::readFile(path));
    EXPECT_EQ(Bytes(f.begin() + 4, f.begin() + 29), Bytes(archive.begin(), archive.begin() + 25));
    EXPECT_EQ(f[29] | f[30] << 8, xor16(f, 0, 28));
    EXPECT_NE(f[28], 0) << "the test needs a header byte that would change the checksum";
    EXPECT_NE(f[29] | f[30] << 8, xor16(f, 0, 28) ^ f[28]);
}

TEST_F(Wire, A16385BytePayloadTravelsInTwoFrames) {
    Bytes payload = randomPayload(16385, 5);
    std::string path = writeArchive(payload, 0, 24, false, "modem.wrapped");
    ScriptedLoader loader(devRoot, 0, {okStep(30), okStep(16388), okStep(6)});
    openPort();
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 3u);
    Bytes first = toBytes(frames[1]);
    Bytes second = toBytes(frames[2]);
    ASSERT_EQ(first.size(), 16388u);
    ASSERT_EQ(second.size(), 6u);
    EXPECT_EQ(first[0], 0xAA);
    EXPECT_EQ(first[1], 0x00);
    EXPECT_EQ(Bytes(first.begin() + 2, first.begin() + 16386),
              Bytes(payload.begin(), payload.begin() + 16384));
    EXPECT_EQ(first[16386] | first[16387] << 8, xor16(first, 0, 16386));
    EXPECT_EQ(second[2], payload[16384]);
    EXPECT_EQ(second[3], FRAME_PAD_BYTE);
    EXPECT_EQ(second[4] | second[5] << 8, xor16(second, 0, 4));
    // 100 * 16384 / 16385 = 99 per cent of the share of 40: 15 + 39.
    EXPECT_EQ(progress(), (std::vector<int>{15, 54}));
    std::vector<DownloadEvent> e = events();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].code, 27);  // modem.wrapped
    EXPECT_EQ(e[0].value, 15);
    EXPECT_EQ(e[1].value, 54);
}

TEST_F(Wire, ThePortsBlockSizeIsMadeEvenAndAnnounced) {
    std::string path = writeArchive(countingPayload(10));
    ScriptedLoader loader(devRoot, 0, {okStep(30), okStep(10), okStep(8)});
    openPort();
    ctx_Get(kPort)->blockSize = 7;
    EXPECT_EQ(send(path), 1);
    EXPECT_EQ(ctx_Get(kPort)->blockSize, 6);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0][2], 6);
    EXPECT_EQ(frames[0][3], 0);
}

TEST_F(Wire, ABlockSizeOfOneIsRefusedBeforeTheHeaderFrame) {
    std::string path = writeArchive(countingPayload(10));
    ScriptedLoader loader(devRoot, 0, {});
    openPort();
    ctx_Get(kPort)->blockSize = 1;
    EXPECT_EQ(send(path), 0);
    EXPECT_EQ(errors().back(), "\n#Error: block size 0 cannot carry data [" + path + "]\n\n");
}

// --- Header frame rejections ---------------------------------------------------------------

TEST_F(Wire, AHeaderRejectedThreeTimesEndsTheTransferWithoutARejectionLog) {
    std::string path = writeArchive(countingPayload(100));
    const std::string no = status(0xAA, 0x02);
    ScriptedLoader loader(devRoot, 0, {replyStep(30, no), replyStep(30, no), replyStep(30, no)});
    openPort();
    EXPECT_EQ(send(path), 0);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1], frames[0]);
    EXPECT_EQ(frames[2], frames[0]);
    EXPECT_EQ(errors(), (std::vector<std::string>{"\n#Error: block rejected [0xAA02]\n\n"}));
    EXPECT_FALSE(exists(workDir + "/log0.txt"));
    EXPECT_EQ(loader.trailing(), "");
    EXPECT_TRUE(progress().empty());
}

TEST_F(Wire, AHeaderRejectedTwiceIsAcceptedTheThirdTime) {
    std::string path = writeArchive(countingPayload(4));
    ScriptedLoader loader(devRoot, 0,
                          {replyStep(30, status(0x55, 0x01)), replyStep(30, status(0xAA, 0x00)),
                           okStep(30), okStep(8)});
    openPort();
    EXPECT_EQ(send(path), 1);
    EXPECT_EQ(loader.frames().size(), 4u);
}

// --- Data frame rejections and the rejection log -------------------------------------------

TEST_F(Wire, Block5RejectedThreeTimesIsLoggedLineByLine) {
    std::string path = writeArchive(countingPayload(100));
    const std::string no = status(0xAA, 0x02);
    const std::string echo("\xAA\x00\x40\x41\x99", 5);
    ScriptedLoader loader(devRoot, 0,
                          {okStep(30), okStep(20), okStep(20), okStep(20), okStep(20),
                           replyStep(20, no), replyStep(20, no + echo), replyStep(20, no)});
    openPort();
    ctx_Get(kPort)->blockSize = 16;
    EXPECT_EQ(send(path), 0);

    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(frames[6], frames[5]);
    EXPECT_EQ(frames[7], frames[5]);
    EXPECT_EQ(static_cast<uint8_t>(frames[5][2]), 0x40);
    EXPECT_EQ(errors(),
              (std::vector<std::string>{"\n#Error: block rejected 3 times. See log.txt.\n\n"}));
    // Progress for block 5 once: 15 + (100 * 64 / 100) * 40 / 100 = 15 + 25.
    EXPECT_EQ(progress(), (std::vector<int>{15, 21, 27, 34, 40}));

    std::vector<std::string> lines = linesOf(fileText(workDir + "/log0.txt"));
    const std::string zeros = "00+00 00+00+00+00+00+00+00+00+00+00+00+00+00+00+";
    const std::vector<std::string> expected = {
        "BLOCK 5 REJECTED [TRY NB 0 - STATUS= 0xAA02]",
        "AA+00 40+41+42+43+44+45+46+47+48+49+4A+4B+4C+4D+\t" + zeros,
        "4E+4F+AA+00 \t\t\t\t\t\t\t\t\t\t00+00+00+00 ",
        "",
        "",
        "BLOCK 5 REJECTED [TRY NB 1 - STATUS= 0xAA02]",
        "AA 00 40 41 42+43+44+45+46+47+48+49+4A+4B+4C+4D+\tAA 00 40 41 99+00+00+00+00+00+00+00+00+"
        "00+00+00+",
        "4E+4F+AA+00 \t\t\t\t\t\t\t\t\t\t00+00+00+00 ",
        "",
        "",
        "BLOCK 5 REJECTED [TRY NB 2 - STATUS= 0xAA02]",
        "AA+00 40+41+42+43+44+45+46+47+48+49+4A+4B+4C+4D+\t" + zeros,
        "4E+4F+AA+00 \t\t\t\t\t\t\t\t\t\t00+00+00+00 ",
        "",
        "",
    };
    EXPECT_EQ(lines, expected);
    std::string all = logText();
    EXPECT_NE(all.find("Opening [log0.txt] file ... Ok\n"), std::string::npos) << all;
}

TEST_F(Wire, ABlockRejectedOnceAndThenAcceptedCountsOnce) {
    std::string path = writeArchive(countingPayload(40));
    ScriptedLoader loader(
        devRoot, 0,
        {okStep(30), okStep(20), replyStep(20, status(0xAA, 0x02)), okStep(20), okStep(12)});
    openPort();
    ctx_Get(kPort)->blockSize = 16;
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[3], frames[2]);
    EXPECT_EQ(loader.trailing(), "") << "no frame beyond the payload";
    EXPECT_EQ(progress(), (std::vector<int>{15, 31, 47}));
    std::vector<std::string> lines = linesOf(fileText(workDir + "/log0.txt"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "BLOCK 2 REJECTED [TRY NB 0 - STATUS= 0xAA02]");
    EXPECT_TRUE(errors().empty());
}

TEST_F(Wire, AcceptanceBytesAfterARejectionCountAsAcceptedWithoutAResend) {
    std::string path = writeArchive(countingPayload(40));
    ScriptedLoader loader(
        devRoot, 0,
        {okStep(30), replyStep(20, status(0xAA, 0x03) + kAccepted), okStep(20), okStep(12)});
    openPort();
    ctx_Get(kPort)->blockSize = 16;
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_NE(frames[2], frames[1]) << "block 2 follows block 1 without a resend";
    EXPECT_EQ(loader.trailing(), "");
    std::vector<std::string> lines = linesOf(fileText(workDir + "/log0.txt"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "BLOCK 1 REJECTED [TRY NB 0 - STATUS= 0xAA03]");
    EXPECT_EQ(lines[1].substr(lines[1].find('\t') + 1, 6), "AA 01+");
}

TEST_F(Wire, ARejectedSixByteFrameIsDumpedInOneRow) {
    Bytes payload = countingPayload(16385);
    payload[16384] = 0x41;
    std::string path = writeArchive(payload);
    ScriptedLoader loader(devRoot, 0,
                          {okStep(30), okStep(16388), replyStep(6, status(0xAA, 0x02)), okStep(6)});
    openPort();
    EXPECT_EQ(send(path), 1);
    EXPECT_EQ(fileText(workDir + "/log0.txt"),
              "BLOCK 2 REJECTED [TRY NB 0 - STATUS= 0xAA02]\n"
              "AA+00 41+00 EB+00 \t\t\t\t\t\t\t\t\t\t00+00 00+00 00+00 \n\n\n");
}

TEST_F(Wire, TheRejectionLogIsRewrittenForEachArchive) {
    std::string path = writeArchive(countingPayload(4));
    {
        ScriptedLoader first(devRoot, 0, {okStep(30), replyStep(8, status(0xAA, 0x02)), okStep(8)});
        openPort();
        EXPECT_EQ(send(path), 1);
        first.frames();
        com_Close(kPort);
    }
    ScriptedLoader second(devRoot, 0, {okStep(30), replyStep(8, status(0xAA, 0x04)), okStep(8)});
    openPort();
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> lines = linesOf(fileText(workDir + "/log0.txt"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "BLOCK 1 REJECTED [TRY NB 0 - STATUS= 0xAA04]");
}

TEST_F(Wire, ALogThatCannotBeOpenedIsWarnedAboutOnceAndTheTransferGoesOn) {
    ASSERT_EQ(mkdir((workDir + "/log0.txt").c_str(), 0755), 0);
    std::string path = writeArchive(countingPayload(40));
    const std::string no = status(0xAA, 0x02);
    ScriptedLoader loader(
        devRoot, 0,
        {okStep(30), replyStep(20, no), okStep(20), replyStep(20, no), okStep(20), okStep(12)});
    openPort();
    ctx_Get(kPort)->blockSize = 16;
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0], "warning: failed to open [log0.txt] file, errno=Is a directory\n");
    std::string all = logText();
    EXPECT_EQ(all.find("Opening [log0.txt] file ... "), all.rfind("Opening [log0.txt] file ... "))
        << "one attempt per call";
    EXPECT_EQ(all.find("Ok\n"), std::string::npos);
}

// --- The loader command --------------------------------------------------------------------

TEST_F(Wire, AtLoadRefusedSixTimesFailsAfterFivePausesAndFreesTheLock) {
    clk_SetScale(10);  // 2-second pauses take 200 ms: long enough to be told apart
    std::string path = writeArchive(countingPayload(10));
    ScriptedLoader loader(devRoot, 100, {});
    openPort();
    EXPECT_EQ(send(path), 0);
    const int64_t returned = clk_RealNowUs();
    std::vector<int64_t> times = loader.loadTimes();
    ASSERT_EQ(times.size(), 6u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], 190 * 1000) << "pause before attempt " << i + 1;
    EXPECT_LT(returned - times.back(), 150 * 1000) << "no pause after the last attempt";
    EXPECT_EQ(errors(), (std::vector<std::string>{"\n#Error: AT%LOAD command failed\n\n"}));
    ASSERT_EQ(lock_TryAcquire(engine_ModeSwitchLock()), 1);
    lock_Release(engine_ModeSwitchLock());
}

TEST_F(Wire, AtLoadAcceptedOnTheSixthAttemptGoesOn) {
    std::string path = writeArchive(Bytes{});
    ScriptedLoader loader(devRoot, 5, {okStep(30)});
    openPort();
    EXPECT_EQ(send(path), 1);
    EXPECT_EQ(loader.loadCommands(), 6);
    ASSERT_EQ(lock_TryAcquire(engine_ModeSwitchLock()), 1);
    lock_Release(engine_ModeSwitchLock());
}

TEST_F(Wire, TheLoadCommandWaitsForTheEngineLock) {
    std::string path = writeArchive(Bytes{});
    ScriptedLoader loader(devRoot, 0, {okStep(30)});
    openPort();
    std::atomic<bool> held{false};
    std::thread holder([&] {
        lock_Acquire(engine_ModeSwitchLock());
        held = true;
        usleep(100 * 1000);
        lock_Release(engine_ModeSwitchLock());
    });
    while (!held) usleep(100);
    int64_t start = clk_RealNowUs();
    EXPECT_EQ(send(path), 1);
    EXPECT_GE(clk_RealNowUs() - start, 90 * 1000);
    holder.join();
}

TEST_F(Wire, ABadHeaderSendsNothing) {
    testsupport::TempDir other;
    other.write("bad.wrapped", std::string(40, 'x'));
    ScriptedLoader loader(devRoot, 0, {});
    openPort();
    EXPECT_EQ(send(other.file("bad.wrapped")), 0);
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[1], "\n#Error: Bad file Header\n\n");
    EXPECT_EQ(loader.loadCommands(), 0);
}

// --- Bounds and failures -------------------------------------------------------------------

TEST_F(Wire, ASilentModemEndsTheTransferWithinTheStatusBound) {
    std::string path = writeArchive(countingPayload(100));
    ScriptedLoader loader(devRoot, 0, {okStep(30), replyStep(104, "")});
    openPort();
    int64_t start = clk_NowMs();
    int64_t realStart = clk_RealNowUs();
    EXPECT_EQ(send(path), 0);
    int64_t elapsed = clk_NowMs() - start;
    EXPECT_GE(elapsed, LOAD_STATUS_WAIT_MS);
    // The silence is also counted in empty reads of about 10 ms each (about a second of real
    // time), so on the test clock the end may come up to a few real seconds after the bound.
    EXPECT_LT(elapsed, LOAD_STATUS_WAIT_MS + 3000 * kScale);
    EXPECT_LT(clk_RealNowUs() - realStart, 3 * 1000 * 1000);
    EXPECT_EQ(errors(), (std::vector<std::string>{"\n#Error: no status from the modem within 60 s "
                                                  "after block 1 [" +
                                                  path + "]\n\n"}));
}

TEST_F(Wire, AModemSilentAfterTheHeaderFrameIsBoundedToo) {
    std::string path = writeArchive(countingPayload(100));
    ScriptedLoader loader(devRoot, 0, {replyStep(30, "")});
    openPort();
    EXPECT_EQ(send(path), 0);
    EXPECT_EQ(errors(), (std::vector<std::string>{"\n#Error: no status from the modem within 60 s "
                                                  "after the header frame [" +
                                                  path + "]\n\n"}));
}

TEST_F(Wire, AFrameThePortTakesInPartsIsCompleted) {
    Bytes payload = randomPayload(16384, 11);
    std::string path = writeArchive(payload);
    // The loader reads the frame only after the 200 ms write time-out has passed, so the
    // first write ends with part of the frame still unwritten.
    Step slow = okStep(16388);
    slow.delayReadMs = 400;
    ScriptedLoader loader(devRoot, 0, {okStep(30), slow});
    openPort();
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Bytes(frames[1].begin() + 2, frames[1].end() - 2), payload);
}

TEST_F(Wire, AModemThatTakesNoMoreDataEndsTheTransferWithinTheWriteBound) {
    std::string path = writeArchive(randomPayload(40000, 12));
    ScriptedLoader loader(devRoot, 0, {okStep(30), okStep(0)});
    openPort();
    int64_t start = clk_NowMs();
    int64_t realStart = clk_RealNowUs();
    EXPECT_EQ(send(path), 0);
    EXPECT_GE(clk_NowMs() - start, LOAD_WRITE_STALL_MS);
    EXPECT_LT(clk_RealNowUs() - realStart, 4 * 1000 * 1000);
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].rfind("\n#Error: the modem took no data for 60 s, ", 0), 0u) << e[0];
    EXPECT_NE(e[0].find(" bytes of the frame not written [" + path + "]"), std::string::npos);
}

TEST_F(Wire, AStatusSlowerThanTheTestClocksBoundIsStillAwaited) {
    // 300 ms of real time is 300 s on this test's clock, beyond the 60 s bound; the channel
    // has not yet come back empty often enough to call the modem silent.
    std::string path = writeArchive(countingPayload(10));
    ScriptedLoader::Step slow = okStep(14);
    slow.delayReplyMs = 300;
    ScriptedLoader loader(devRoot, 0, {okStep(30), slow});
    openPort();
    EXPECT_EQ(send(path), 1) << logText();
    EXPECT_TRUE(errors().empty());
}

TEST_F(Wire, AWriteFailureIsReportedWithTheBytesLeft) {
    std::string path = writeArchive(countingPayload(100));
    Step header = okStep(30);
    header.injectFailure = SERIAL_OP_WRITE;
    ScriptedLoader loader(devRoot, 0, {header});
    openPort();
    EXPECT_EQ(send(path), 0);
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].rfind("\n#Error: com_Write 104 failed [", 0), 0u) << e[0];
}

TEST_F(Wire, AReadFailureDuringAStatusIsReported) {
    std::string path = writeArchive(countingPayload(100));
    Step header = replyStep(30, "\xAA");  // half a status, then the read fails
    header.injectFailure = SERIAL_OP_READ;
    ScriptedLoader loader(devRoot, 0, {header});
    openPort();
    EXPECT_EQ(send(path), 0);
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].rfind("\n#Error: com_Read ", 0), 0u) << e[0];
}

// --- The end of the file -------------------------------------------------------------------

TEST_F(Wire, TheExtendedFormEndsOnceEveryFileByteIsAccepted) {
    Bytes payload = randomPayload(16392, 3);
    std::string path = writeArchive(payload, 7, 24, true);
    ScriptedLoader loader(devRoot, 0, {okStep(38), okStep(16388)});
    openPort();
    EXPECT_EQ(send(path), 1);
    std::vector<std::string> frames = loader.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Bytes(frames[0].begin() + 28, frames[0].begin() + 36),
              Bytes(payload.begin(), payload.begin() + 8));
    EXPECT_EQ(Bytes(frames[1].begin() + 2, frames[1].end() - 2),
              Bytes(payload.begin() + 8, payload.end()));
    EXPECT_EQ(loader.trailing(), "") << "no empty frame after the file's end";
    EXPECT_EQ(progress(), (std::vector<int>{15}));
    EXPECT_TRUE(errors().empty());
}

TEST_F(Wire, AFileThatShrinksDuringTheTransferFailsWithoutEmptyFrames) {
    Bytes payload = randomPayload(50000, 4);
    std::string path = writeArchive(payload);
    ScriptedLoader loader(devRoot, 0, {okStep(30), okStep(16388), okStep(3620)});
    openPort();
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    setvbuf(f, nullptr, _IONBF, 0);  // no read-ahead: the cut shows at once
    // Cut the file after the header has been read, while the loader takes the header frame.
    std::thread cutter([&] {
        while (loader.frames(0).empty()) usleep(200);
        ASSERT_EQ(truncate(path.c_str(), 24 + 20000), 0);
    });
    int result = load_SendArchive(kPort, f, path.c_str());
    cutter.join();
    fclose(f);
    EXPECT_EQ(result, 0);
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0], "\n#Error: [" + path +
                        "] ends 30000 bytes before the payload size of its "
                        "header\n\n");
}

}  // namespace
