// The block transfer against the simulated modem over a pty: what the modem programs is the
// archive's payload, byte for byte, and its scripted faults end the transfer as they should.
#include <gtest/gtest.h>
#include <math.h>

#include "engine/at.h"
#include "engine/port_context.h"
#include "engine/transfer.h"
#include "platform/clock.h"
#include "support/sim_support.h"
#include "transfer_fixture.h"

using namespace transfertest;

namespace {

class SimTransfer : public TransferTest {
  protected:
    modemsim::ModemSim sim;

    void TearDown() override {
        TransferTest::TearDown();
        sim.stop();
    }

    // Starts the modem in loader mode with the scenario and opens the port.
    void start(const std::string& scenario = "") {
        modemsim::SimOptions o = testsupport::simOptions(devRoot, sysRoot, scenario);
        o.initialMode = 1;
        ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
        openPort();
        ASSERT_EQ(at_Send(kPort, "ATE0\r\n"), 1);
    }

    // Sends the archive and has the modem program it; the modem's flash for the ID then.
    Bytes sendAndProgram(const std::string& path, uint32_t id) {
        EXPECT_EQ(send(path), 1) << logText();
        EXPECT_EQ(at_Send(kPort, "AT%%PROG=2\r\n"), 1) << at_Response(kPort);
        EXPECT_TRUE(sim.hasFlash(id));
        return sim.flash(id);
    }

    // The archive's bytes after its declared header: what the modem should program.
    static Bytes payloadOf(const std::string& path) {
        std::string s = testsupport::readFile(path);
        uint32_t declared = static_cast<uint8_t>(s[4]) | static_cast<uint8_t>(s[5]) << 8 |
                            static_cast<uint8_t>(s[6]) << 16 |
                            static_cast<uint32_t>(static_cast<uint8_t>(s[7])) << 24;
        return Bytes(s.begin() + declared, s.end());
    }
};

TEST_F(SimTransfer, EveryArchiveOfAFirmwareSetIsProgrammedByteForByte) {
    struct File {
        const char* name;
        uint32_t id;
        size_t size;
    } files[] = {{"loader.wrapped", 3, 3001},         {"secondary_boot.wrapped", 1, 2048},
                 {"factory_tests.wrapped", 2, 16384}, {"modem.wrapped", 0, 40961},
                 {"mass_storage.wrapped", 7, 1500},   {"nocd.iso.wrapped", 6, 16385},
                 {"productConfig.bin", 5, 777}};
    start();
    for (const File& f : files) {
        Bytes payload = randomPayload(f.size, f.id + 100);
        std::string path = writeArchive(payload, f.id, 24, false, f.name);
        EXPECT_EQ(sendAndProgram(path, f.id), payload) << f.name;
    }
    EXPECT_TRUE(errors().empty());
    EXPECT_TRUE(sim.deviations().empty()) << sim.deviations().front();
}

TEST_F(SimTransfer, OddAndLongHeadersAreProgrammedByteForByte) {
    start();
    for (uint32_t length : {25u, 26u, 27u, 160u}) {
        Bytes payload = randomPayload(20001, length);
        std::string path = writeArchive(payload, 2, length);
        EXPECT_EQ(sendAndProgram(path, 2), payload) << "header length " << length;
    }
    EXPECT_TRUE(sim.deviations().empty()) << sim.deviations().front();
}

TEST_F(SimTransfer, TheExtendedFormIsProgrammedByteForByte) {
    start();
    Bytes payload = randomPayload(16392 + 5, 8);
    std::string path = writeArchive(payload, 0, 24, true, "modem.wrapped");
    EXPECT_EQ(sendAndProgram(path, 0), payload);
    EXPECT_EQ(payloadOf(path), payload);
    std::vector<modemsim::ArchiveSummary> a = sim.archives();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].headerLength, 32u);
    EXPECT_TRUE(sim.deviations().empty()) << sim.deviations().front();
}

TEST_F(SimTransfer, APayloadOfZeroBytesEndsAfterTheHeaderFrame) {
    start();
    std::string path = writeArchive(Bytes{}, 5, 24, false, "productConfig.bin");
    EXPECT_EQ(send(path), 1);
    EXPECT_TRUE(progress().empty());
    std::vector<modemsim::ArchiveSummary> a = sim.archives();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(a[0].complete);
    EXPECT_EQ(a[0].blocks, 0u);
}

TEST_F(SimTransfer, APayloadAbove42949672BytesReportsSteadyProgress) {
    start();
    const size_t size = 42949673 + 16384 * 3 + 11;
    Bytes payload = randomPayload(size, 99);
    std::string path = writeArchive(payload, 0, 24, false, "modem.wrapped");
    EXPECT_EQ(sendAndProgram(path, 0) == payload, true) << "flash differs from the payload";
    std::vector<int> values = progress();
    const size_t blocks = (size + 16383) / 16384;
    ASSERT_EQ(values.size(), blocks);
    for (size_t k = 0; k < blocks; ++k) {
        // Per cent of the payload already accepted, truncated, then its share, truncated.
        long double done = static_cast<long double>(k) * 16384.0L;
        int pct = static_cast<int>(floorl(100.0L * done / static_cast<long double>(size)));
        ASSERT_EQ(values[k], 15 + pct * 40 / 100) << "block " << k + 1;
    }
    EXPECT_EQ(values.back(), 54);
    std::vector<DownloadEvent> e = events();
    ASSERT_EQ(e.size(), blocks);
    EXPECT_EQ(e.back().code, 27);
    EXPECT_EQ(e.back().value, 54);
}

TEST_F(SimTransfer, Block5RejectedThreeTimesEndsTheTransferWithItsLog) {
    start("reject-block archive=1 block=5 times=3 status=AA02\n");
    Bytes payload = randomPayload(16384 * 6, 1);
    std::string path = writeArchive(payload);
    EXPECT_EQ(send(path), 0);
    EXPECT_EQ(errors(),
              (std::vector<std::string>{"\n#Error: block rejected 3 times. See log.txt.\n\n"}));
    EXPECT_EQ(progress(), (std::vector<int>{15, 21, 28, 35, 41}));
    std::string log = testsupport::readFile(workDir + "/log0.txt");
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string line =
            "BLOCK 5 REJECTED [TRY NB " + std::to_string(attempt) + " - STATUS= 0xAA02]\n";
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(log.find("TRY NB 3"), std::string::npos);
    std::vector<modemsim::ArchiveSummary> a = sim.archives();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_FALSE(a[0].complete);
}

TEST_F(SimTransfer, ABlockRejectedOnceIsResentAndProgrammed) {
    start("reject-block archive=1 block=2 times=1\n");
    Bytes payload = randomPayload(50000, 2);
    std::string path = writeArchive(payload);
    EXPECT_EQ(sendAndProgram(path, 3), payload);
    EXPECT_EQ(progress().size(), 4u);
    EXPECT_EQ(testsupport::readFile(workDir + "/log0.txt")
                  .rfind("BLOCK 2 REJECTED [TRY NB 0 - STATUS= 0xAA02]\n", 0),
              0u);
}

TEST_F(SimTransfer, AnAcceptanceAfterARejectionNeedsNoResend) {
    // The host counts block 2 as accepted and goes on with block 3; this modem still waits
    // for block 2, so it takes block 3 in its place and the archive stays incomplete there.
    start("reject-block archive=1 block=2 times=1 status=AA05 then=AA01\n");
    Bytes payload = randomPayload(16384 * 3, 3);
    std::string path = writeArchive(payload);
    EXPECT_EQ(send(path), 1) << logText();
    EXPECT_EQ(progress().size(), 3u);
    std::vector<modemsim::ArchiveSummary> a = sim.archives();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].rejections, 1u);
    EXPECT_EQ(a[0].blocks, 2u) << "three frames written, none of them twice";
    EXPECT_FALSE(a[0].complete);
    EXPECT_EQ(testsupport::readFile(workDir + "/log0.txt")
                  .rfind("BLOCK 2 REJECTED [TRY NB 0 - STATUS= 0xAA05]\n", 0),
              0u);
}

TEST_F(SimTransfer, AModemFallingSilentEndsTheTransferWithinTheBound) {
    start("silent archive=1 block=3\n");
    std::string path = writeArchive(randomPayload(16384 * 5, 6));
    int64_t realStart = clk_RealNowUs();
    EXPECT_EQ(send(path), 0);
    EXPECT_LT(clk_RealNowUs() - realStart, 3 * 1000 * 1000);
    EXPECT_EQ(errors(), (std::vector<std::string>{"\n#Error: no status from the modem within 60 s "
                                                  "after block 3 [" +
                                                  path + "]\n\n"}));
}

TEST_F(SimTransfer, AModemThatVanishesMidTransferEndsItAtOnce) {
    start("vanish archive=1 block=2\n");
    std::string path = writeArchive(randomPayload(16384 * 5, 7));
    int64_t realStart = clk_RealNowUs();
    EXPECT_EQ(send(path), 0);
    EXPECT_LT(clk_RealNowUs() - realStart, 3 * 1000 * 1000);
    std::vector<std::string> e = errors();
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e.back().rfind("\n#Error: com_", 0), 0u) << e.back();
}

}  // namespace
