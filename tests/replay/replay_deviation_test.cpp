// The player and a host that does other than the recorded one: each deviation named with its
// byte offset and both sides; the default goes on, strict ends the session; a session that is
// not whole is refused by modemsim with its line.
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>

#include "replay_support.h"
#include "session/session_format.h"
#include "support/command_test.h"
#include "support/test_support.h"

using session::Json;

namespace {

class ReplayDeviation : public ::testing::Test {
  protected:
    testsupport::TempDir root;
    std::string firmware = root.path() + "/fw";
    std::string session = root.path() + "/recorded.session.jsonl";
    void SetUp() override {
        ASSERT_TRUE(replaytest::writeFirmware(firmware));
        replaytest::Run r;
        r.dir = root.path() + "/original";
        r.firmware = firmware;
        r.record = session;
        replaytest::Outcome o = replaytest::runUpdate(r);
        ASSERT_TRUE(o.ran) << o.why;
        ASSERT_EQ(o.result, 1);
    }
    replaytest::Outcome replay(const std::string& folder, bool strict, const char* name) {
        replaytest::Run r;
        r.dir = root.path() + "/" + name;
        r.firmware = folder;
        r.replay = session;
        r.strict = strict;
        r.record = root.path() + "/" + name + ".session.jsonl";
        return replaytest::runUpdate(r);
    }
    // A copy of the firmware whose second archive has one payload byte changed.
    std::string changedFirmware() {
        std::string changed = root.path() + "/fw2";
        EXPECT_TRUE(replaytest::writeFirmware(changed));
        std::fstream f(changed + "/productConfig.bin",
                       std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(24 + 20000);
        f.put('\x5A');
        return changed;
    }
    static Json deviationsOf(const replaytest::Outcome& o) {
        Json report = Json::parse(o.report, nullptr, false);
        return report.is_object() ? report["replay"]["deviations"] : Json::array();
    }
};

TEST_F(ReplayDeviation, AFrameOfAnotherChecksumIsNamedWithItsOffsetAndTheReplayGoesOn) {
    replaytest::Outcome o = replay(changedFirmware(), false, "changed");
    ASSERT_TRUE(o.ran) << o.why;
    EXPECT_EQ(o.result, 1) << "answered as recorded: the host goes on to the end";
    Json d = deviationsOf(o);
    ASSERT_EQ(d.size(), 1u) << d.dump(2);
    EXPECT_EQ(d[0]["kind"], "frame");
    EXPECT_GT(d[0]["line"].get<int>(), 1);
    EXPECT_GT(d[0]["offset"].get<uint64_t>(), 40000u) << "inside the second archive";
    EXPECT_EQ(d[0]["offset"], d[0]["recorded_offset"]) << "the same place in both runs";
    EXPECT_NE(d[0]["recorded"].get<std::string>().find("data frame of 16388 bytes"),
              std::string::npos);
    EXPECT_NE(d[0]["host"].get<std::string>().find("data frame of 16388 bytes"), std::string::npos);
    EXPECT_NE(d[0]["recorded"], d[0]["host"]) << "another checksum and payload hash";
}

TEST_F(ReplayDeviation, StrictEndsTheSessionAtTheFirstDeviation) {
    replaytest::Outcome o = replay(changedFirmware(), true, "strict");
    ASSERT_TRUE(o.ran) << o.why;
    EXPECT_NE(o.result, 1) << "the port went away at the deviation";
    Json report = Json::parse(o.report, nullptr, false);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["replay"]["ended"], true);
    ASSERT_EQ(report["replay"]["deviations"].size(), 1u) << report["replay"].dump(2);
    EXPECT_EQ(report["replay"]["deviations"][0]["kind"], "frame");
}

TEST_F(ReplayDeviation, AHostThatNeverComesIsAMissingOpen) {
    std::string empty = root.path() + "/nothing";  // a folder the host refuses: no port opened
    replaytest::Outcome o = replay(empty, false, "absent");
    ASSERT_TRUE(o.ran) << o.why;
    Json d = deviationsOf(o);
    ASSERT_GE(d.size(), 2u) << d.dump(2);
    EXPECT_EQ(d[0]["kind"], "missing open");
    EXPECT_EQ(d.back()["kind"], "unfinished");
}

TEST_F(ReplayDeviation, AnotherCommandIsNamedAndAnsweredAsTheRecordingDid) {
    // The recording's AT%IFWR turned into AT%IFWX, resealed: the host's real command then
    // differs from it.
    std::ifstream in(session);
    std::string text, line, crc;
    while (std::getline(in, line)) {
        size_t at = line.rfind(",\"crc\":\"");
        std::string body = line.substr(0, at);
        size_t cmd = body.find("\"text\":\"AT%IFWR\\r\\n\"");
        if (cmd != std::string::npos) body.replace(cmd + 14, 1, "X");
        crc = session::sealOf(crc, body);
        text += body + ",\"crc\":\"" + crc + "\"}\n";
    }
    std::ofstream(session, std::ios::trunc) << text;
    replaytest::Outcome o = replay(firmware, false, "command");
    ASSERT_TRUE(o.ran) << o.why;
    EXPECT_EQ(o.result, 1);
    Json d = deviationsOf(o);
    ASSERT_EQ(d.size(), 1u) << d.dump(2);
    EXPECT_EQ(d[0]["kind"], "command");
    EXPECT_EQ(d[0]["recorded"], "command AT%IFWX");
    EXPECT_EQ(d[0]["host"], "command AT%IFWR");
}

#ifdef MODEMSIM_PATH
TEST_F(ReplayDeviation, ModemsimRefusesASessionThatIsNotWholeWithItsLine) {
    std::ifstream in(session);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    std::string cut = root.path() + "/cut.jsonl";
    std::ofstream(cut) << text.substr(0, text.size() / 2);
    std::string edited = root.path() + "/edited.jsonl";
    std::string e = text;
    e[e.find("AT%MODE=1") + 8] = '0';
    std::ofstream(edited) << e;
    std::string dirs = " --dev-root " + root.path() + " --sysfs-root " + root.path() + " --replay ";
    for (const std::string& f : {cut, edited}) {
        testsupport::CommandRun r = testsupport::runCommand(MODEMSIM_PATH, dirs + f, "");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(f + ": line "), std::string::npos) << r.out;
    }
    testsupport::CommandRun partial =
        testsupport::runCommand(MODEMSIM_PATH,
                                dirs + cut + " --replay-partial --ready-file " + root.path() +
                                    "/ready 2>&1 & sleep 0.5; kill $!",
                                "");
    EXPECT_NE(partial.out.find("published as"), std::string::npos) << partial.out;
}
#endif

}  // namespace
