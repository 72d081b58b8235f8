#include "fleet_fixture.h"

#include <atomic>
#include <memory>

namespace fleet {

testsupport::PrivatePostgres* server() {
    static std::unique_ptr<testsupport::PrivatePostgres> pg;
    static std::string failure;
    if (!pg && failure.empty()) {
        pg.reset(new testsupport::PrivatePostgres);
        if (!pg->start(&failure)) {
            if (failure.empty()) failure = "the server did not start";
            pg.reset();
        }
    }
    if (!pg) ADD_FAILURE() << "no PostgreSQL server for the test: " << failure;
    return pg.get();
}

std::string freshDatabase() {
    static std::atomic<int> count{0};
    testsupport::PrivatePostgres* pg = server();
    if (pg == nullptr) return "";
    std::string name = "t" + std::to_string(++count);
    if (const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info()) {
        name += "_";
        for (char c : std::string(t->name()).substr(0, 40))
            name += static_cast<char>(isalnum(static_cast<unsigned char>(c)) ? tolower(c) : '_');
    }
    std::string error;
    EXPECT_TRUE(pg->createDatabase(name, &error)) << error;
    return pg->uri(name);
}

HistoryUpdate record(const std::string& serial, int64_t ms, const std::string& station) {
    HistoryUpdate u;
    u.uuid = history_NewUuid();
    u.id = ms % 1000 + 1;
    u.startedMs = ms;
    u.machine = "pc-" + station;
    u.station = station;
    u.version = "0.1.0";
    u.location = "1-1.1";
    u.serial = serial;
    u.portNames = "COM65";
    u.folder = "/fw/v2";
    u.logPath = "/var/log/" + serial + ".log";
    u.revision = 1;
    u.answers = {{0, "AT+GMR", "SIM_1.0.0"}};
    return u;
}

HistoryFile file(int seq) {
    HistoryFile f;
    f.seq = seq;
    f.name = "file" + std::to_string(seq) + ".wrapped";
    f.size = 1000 + seq;
    f.archiveId = seq == 0 ? -1 : 0x100 + seq;
    f.archiveName = seq == 0 ? "" : "MDM";
    f.sha256 = std::string(64, static_cast<char>('a' + seq));
    f.transferMs = seq == 0 ? -1 : 20 * seq;
    f.programmed = seq != 0;
    f.blocksSent = seq == 0 ? -1 : 3 * seq;
    return f;
}

HistoryUpdate finished(HistoryUpdate u, int files) {
    u.files.clear();
    for (int i = 0; i < files; ++i) u.files.push_back(file(i));
    u.endedMs = u.startedMs + 61000;
    u.resultCode = 1;
    u.resultWords = "update complete";
    u.revision = 2 + files;
    u.answers.push_back({1, "AT%CHIPID", "%CHIPID: 0x1"});
    return u;
}

std::vector<HistoryUpdate> everything(IHistoryReader& store, HistoryFilter f) {
    f.withFiles = true;
    std::vector<HistoryUpdate> out;
    std::string error;
    EXPECT_TRUE(store.Query(f, &out, &error)) << error;
    return out;
}

void expectSameRecord(const HistoryUpdate& a, const HistoryUpdate& b) {
    EXPECT_EQ(a.uuid, b.uuid);
    EXPECT_EQ(a.station, b.station);
    EXPECT_EQ(a.revision, b.revision);
    EXPECT_EQ(a.startedMs, b.startedMs);
    EXPECT_EQ(a.endedMs, b.endedMs);
    EXPECT_EQ(a.machine, b.machine);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.location, b.location);
    EXPECT_EQ(a.serial, b.serial);
    EXPECT_EQ(a.portNames, b.portNames);
    EXPECT_EQ(a.folder, b.folder);
    EXPECT_EQ(a.resultCode, b.resultCode);
    EXPECT_EQ(a.resultWords, b.resultWords);
    EXPECT_EQ(a.logPath, b.logPath);
    EXPECT_EQ(a.identityNote, b.identityNote);
    EXPECT_EQ(a.modemLeft, b.modemLeft);
    ASSERT_EQ(a.answers.size(), b.answers.size()) << a.uuid;
    for (size_t i = 0; i < a.answers.size(); ++i) {
        EXPECT_EQ(a.answers[i].mode, b.answers[i].mode) << i;
        EXPECT_EQ(a.answers[i].command, b.answers[i].command) << i;
        EXPECT_EQ(a.answers[i].answer, b.answers[i].answer) << i;
    }
    ASSERT_EQ(a.files.size(), b.files.size()) << a.uuid;
    for (size_t i = 0; i < a.files.size(); ++i) {
        const HistoryFile &x = a.files[i], &y = b.files[i];
        EXPECT_EQ(x.seq, y.seq) << i;
        EXPECT_EQ(x.name, y.name) << i;
        EXPECT_EQ(x.size, y.size) << i;
        EXPECT_EQ(x.archiveId, y.archiveId) << i;
        EXPECT_EQ(x.archiveName, y.archiveName) << i;
        EXPECT_EQ(x.sha256, y.sha256) << i;
        EXPECT_EQ(x.transferMs, y.transferMs) << i;
        EXPECT_EQ(x.programmed, y.programmed) << i;
        EXPECT_EQ(x.blocksSent, y.blocksSent) << i;
    }
}

}  // namespace fleet
