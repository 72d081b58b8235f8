// A session recorded from a faulty simulated modem, one for each kind of fault of the fault
// matrix, played back to the same host: the same result, the same commands, the same modem
// state at the end, and no deviation.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

// Records an update from the faulty modem and plays it back; "" when the replay ended as
// recorded, else what differed.
std::string recordAndReplay(const Kind& k, const std::string& root, const std::string& firmware) {
    mkdir(root.c_str(), 0755);
    replaytest::Run original;
    original.dir = root + "/original";
    original.firmware = firmware;
    original.scenario = std::string(k.scenario) + "\n";
    original.record = root + "/original.session.jsonl";
    Outcome a = replaytest::runUpdate(original);
    if (!a.ran) return "the recorded update did not run: " + a.why;
    if (a.result != k.result)
        return "the recorded update itself ended with " + std::to_string(a.result);

    replaytest::Run replay;
    replay.dir = root + "/replay";
    replay.firmware = firmware;
    replay.replay = original.record;
    replay.record = root + "/replay.session.jsonl";
    Outcome b = replaytest::runUpdate(replay);
    if (!b.ran) return "the replay did not run: " + b.why;
    std::string why;
    if (b.result != a.result) why += "result " + std::to_string(b.result) + "; ";
    if (b.commands != a.commands) why += "other commands; ";
    if (b.mode != a.mode || b.autorun != a.autorun) why += "other mode or autorun; ";
    if (b.flash != a.flash) why += "other flash; ";
    session::Json report = session::Json::parse(b.report, nullptr, false);
    if (!report.is_object()) return why + "no report";
    if (!report["replay"]["deviations"].empty() ||
        report["replay"]["followed"] != report["replay"]["actions"])
        why += "deviations " + report["replay"].dump();
    return why;
}

TEST_P(ReplayFault, ReplaysToTheSameResultCommandsAndModemState) {
    const Kind& k = GetParam();
    const std::string firmware = root.path() + "/fw";
    ASSERT_TRUE(replaytest::writeFirmware(firmware));
    std::string why = recordAndReplay(k, root.path() + "/first", firmware);
    // A loaded machine can hold up the simulated modem's thread past the host's reopen
    // attempts (as the fault matrix does, the pair is run once more before it fails).
    if (!why.empty()) why = recordAndReplay(k, root.path() + "/second", firmware);
    EXPECT_EQ(why, "");
}

INSTANTIATE_TEST_SUITE_P(EachKindOfFault, ReplayFault, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& i) {
                             std::string n = i.param.name;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

}  // namespace
