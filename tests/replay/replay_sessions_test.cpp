// The sessions kept under tests/sessions/ (scripts/session-to-test.sh adds them), each played
// back to the host with the firmware it was recorded with: the host ends as recorded, follows
// every recorded action and deviates nowhere.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "replay_script.h"
#include "replay_support.h"
#include "session/session_reader.h"
#include "support/test_support.h"

namespace {

const std::string kDir = std::string(MODEMFLASH_SOURCE_DIR) + "/tests/sessions";

std::vector<std::string> keptSessions() {
    std::vector<std::string> names;
    if (DIR* d = opendir(kDir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.find(".session.jsonl") != std::string::npos) names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ReplaySessions : public ::testing::TestWithParam<std::string> {};

TEST_P(ReplaySessions, TheHostEndsAsRecordedAndFollowsEveryAction) {
    const std::string file = kDir + "/" + GetParam();
    const std::string name = GetParam().substr(0, GetParam().find(".session.jsonl"));
    session::Session s;
    session::SessionProblem p;
    ASSERT_TRUE(session::readSession(file, session::ReadOptions(), &s, &p)) << p.text();
    modemsim::ReplayScript script;
    std::string why;
    ASSERT_TRUE(modemsim::replay_BuildScript(s, &script, &why)) << why;
    ASSERT_GE(script.result, 0) << "a kept session ends with its result";

    testsupport::TempDir root;
    replaytest::Run r;
    r.dir = root.path() + "/run";
    r.firmware = kDir + "/" + name + ".fw";
    r.replay = file;
    r.record = root.path() + "/replayed.session.jsonl";
    replaytest::Outcome o = replaytest::runUpdate(r);
    ASSERT_TRUE(o.ran) << o.why;
    EXPECT_EQ(o.result, script.result);
    EXPECT_EQ(o.commands, script.commands);
    session::Json report = session::Json::parse(o.report, nullptr, false);
    ASSERT_TRUE(report.is_object()) << o.report;
    EXPECT_TRUE(report["replay"]["deviations"].empty()) << report["replay"].dump(2);
    EXPECT_EQ(report["replay"]["followed"], report["replay"]["actions"]);
}

INSTANTIATE_TEST_SUITE_P(Kept, ReplaySessions, ::testing::ValuesIn(keptSessions()),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                             std::string n = i.param.substr(0, i.param.find(".session"));
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

TEST(ReplaySessionsKept, AFewAreThere) {
    EXPECT_GE(keptSessions().size(), 3u);
}

}  // namespace
