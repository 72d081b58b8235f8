// A session recorded from a faulty simulated modem, one for each kind of fault of the fault
// matrix, played back to the same host: the same result, the same commands, the same modem
// state at the end, and no deviation.
#include <gtest/gtest.h>

#include <string>

#include "replay_support.h"
#include "session/session_format.h"
#include "support/test_support.h"

using replaytest::Outcome;

namespace {

struct Kind {
    const char* name;
    const char* scenario;
    int result;  // what the update ends with (DOWNLOAD_*)
};

const Kind kKinds[] = {
    {"refuse", "reject-block archive=1 block=2 times=3", 14},
    {"ignore", "ignore AT%USBMODEM?", 1},
    {"late", "late AT%LOAD ms=3000", 1},
    {"pieces", "pieces AT%MODE?", 1},
    {"silent", "silent AT%USBMODEM?", 0},
    {"vanish", "vanish archive=1 block=1", 14},
    {"vanish-and-return", "vanish archive=1 block=2 return=5000", 14},
    {"renumber", "renumber switch=1", 1},
};

void PrintTo(const Kind& k, std::ostream* os) {
    *os << k.name;
}

class ReplayFault : public ::testing::TestWithParam<Kind> {
  protected:
    testsupport::TempDir root;
};

TEST_P(ReplayFault, ReplaysToTheSameResultCommandsAndModemState) {
    const Kind& k = GetParam();
    const std::string firmware = root.path() + "/fw";
    ASSERT_TRUE(replaytest::writeFirmware(firmware));
    replaytest::Run original;
    original.dir = root.path() + "/original";
    original.firmware = firmware;
    original.scenario = std::string(k.scenario) + "\n";
    original.record = root.path() + "/original.session.jsonl";
    Outcome a = replaytest::runUpdate(original);
    ASSERT_TRUE(a.ran) << a.why;
    ASSERT_EQ(a.result, k.result) << "the recorded update itself";

    replaytest::Run replay;
    replay.dir = root.path() + "/replay";
    replay.firmware = firmware;
    replay.replay = original.record;
    replay.record = root.path() + "/replay.session.jsonl";
    Outcome b = replaytest::runUpdate(replay);
    ASSERT_TRUE(b.ran) << b.why;
    EXPECT_EQ(b.result, a.result);
    EXPECT_EQ(b.commands, a.commands);
    EXPECT_EQ(b.mode, a.mode);
    EXPECT_EQ(b.autorun, a.autorun);
    EXPECT_EQ(b.flash, a.flash);
    session::Json report = session::Json::parse(b.report, nullptr, false);
    ASSERT_TRUE(report.is_object()) << b.report;
    EXPECT_TRUE(report["replay"]["deviations"].empty()) << report["replay"].dump(2);
    EXPECT_EQ(report["replay"]["followed"], report["replay"]["actions"]);
}

INSTANTIATE_TEST_SUITE_P(EachKindOfFault, ReplayFault, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& i) {
                             std::string n = i.param.name;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

}  // namespace
