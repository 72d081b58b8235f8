// What the local history keeps for shipping to the fleet's server: each record's UUID and
// station, a revision that every write raises, and the mark of what the server has taken.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>
#include <vector>

#include "history/history_shipper.h"
#include "history/history_store.h"
#include "support/test_support.h"

namespace {

using testsupport::TempDir;

std::unique_ptr<IHistoryStore> open(const std::string& path) {
    std::string notice, error;
    std::unique_ptr<IHistoryStore> s = history_OpenStore(path, &notice, &error);
    EXPECT_TRUE(s) << error;
    return s;
}

HistoryUpdate only(IHistoryStore& s) {
    std::vector<HistoryUpdate> all;
    std::string error;
    EXPECT_TRUE(s.Query(HistoryFilter(), &all, &error)) << error;
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? HistoryUpdate() : all[0];
}

int64_t pending(IHistoryStore& s) {
    HistoryFilter f;
    f.pendingOnly = true;
    int64_t n = -1;
    std::string error;
    EXPECT_TRUE(s.Count(f, &n, &error)) << error;
    return n;
}

bool isUuid(const std::string& u) {
    if (u.size() != 36 || u[8] != '-' || u[13] != '-' || u[18] != '-' || u[23] != '-') return false;
    if (u[14] != '4' || std::string("89ab").find(u[19]) == std::string::npos) return false;
    for (size_t i = 0; i < u.size(); ++i)
        if (i != 8 && i != 13 && i != 18 && i != 23 &&
            std::string("0123456789abcdef").find(u[i]) == std::string::npos)
            return false;
    return true;
}

TEST(ShippingMarks, EachRecordHasAUuidAndAStationAndEveryWriteRaisesItsRevision) {
    TempDir dir;
    auto store = open(dir.file("h.sqlite3"));
    ASSERT_TRUE(store);
    std::string error;
    HistoryUpdate start;
    start.startedMs = 1000;
    start.machine = "bench-pc";
    int64_t id = store->BeginUpdate(start, &error);
    ASSERT_GT(id, 0) << error;
    HistoryUpdate u = only(*store);
    EXPECT_TRUE(isUuid(u.uuid)) << u.uuid;
    EXPECT_EQ(u.station, "bench-pc") << "the machine, when no station is named";
    EXPECT_EQ(u.revision, 1);
    EXPECT_TRUE(u.pending());
    EXPECT_EQ(u.shippedMs, -1);

    HistoryFile f;
    f.name = "loader.wrapped";
    ASSERT_TRUE(store->AddFile(id, f, &error)) << error;
    ASSERT_TRUE(store->AddFile(id, f, &error)) << error;  // the same file again: a write too
    EXPECT_EQ(only(*store).revision, 3);
    // The server takes revision 3; the record is no longer pending, until the next write.
    ASSERT_TRUE(store->MarkShipped({{id, 3}}, 5000, &error)) << error;
    u = only(*store);
    EXPECT_FALSE(u.pending());
    EXPECT_EQ(u.shippedMs, 5000);
    EXPECT_EQ(pending(*store), 0);
    // The modem's answers, on their own (an update killed during its mode switch), are a write.
    ASSERT_TRUE(store->AddAnswers(id, {{0, "AT+GMR", "SIM_1.0.0"}}, &error)) << error;
    EXPECT_EQ(only(*store).revision, 4);
    EXPECT_EQ(pending(*store), 1);
    HistoryUpdate end;
    end.endedMs = 2000;
    end.resultCode = 1;
    ASSERT_TRUE(store->FinishUpdate(id, end, &error)) << error;
    u = only(*store);
    EXPECT_EQ(u.revision, 5);
    EXPECT_TRUE(u.pending());
    // A mark of an older revision, late (another shipper), leaves the newer one standing.
    ASSERT_TRUE(store->MarkShipped({{id, 5}}, 6000, &error));
    ASSERT_TRUE(store->MarkShipped({{id, 3}}, 7000, &error));
    u = only(*store);
    EXPECT_EQ(u.shippedRevision, 5);
    EXPECT_EQ(u.shippedMs, 6000);

    // A station's name, given, is kept; so is a UUID given by the writer.
    HistoryUpdate named = start;
    named.station = "line2-st3";
    named.uuid = history_NewUuid();
    ASSERT_GT(store->BeginUpdate(named, &error), 0);
    HistoryFilter f2;
    f2.station = "line2-st3";
    std::vector<HistoryUpdate> found;
    ASSERT_TRUE(store->Query(f2, &found, &error));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].uuid, named.uuid);
    f2 = HistoryFilter();
    f2.pendingOnly = true;
    ASSERT_TRUE(store->Query(f2, &found, &error));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].station, "line2-st3");
}

TEST(ShippingMarks, UuidsAreDistinctAcrossManyRecords) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        std::string u = history_NewUuid();
        ASSERT_TRUE(isUuid(u)) << u;
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

// Records of a file from before shipping get their UUID, their machine as station and a
// revision that counts what was written, and are pending.
TEST(ShippingMarks, RecordsOfAnOlderFileGetUuidsAndArePending) {
    TempDir dir;
    const std::string path = dir.file("h.sqlite3");
    {
        auto store = open(path);
        ASSERT_TRUE(store);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    // The file as the second layout left it: no UUID, station or revision yet.
    const char* sql =
        "DROP TRIGGER files_revise; DROP TRIGGER updates_revise; DROP TRIGGER answers_revise;"
        "DROP INDEX updates_by_uuid;"
        "DROP INDEX updates_pending;"
        "ALTER TABLE updates DROP COLUMN uuid; ALTER TABLE updates DROP COLUMN station;"
        "ALTER TABLE updates DROP COLUMN revision; ALTER TABLE updates DROP COLUMN "
        "shipped_revision; ALTER TABLE updates DROP COLUMN shipped_ms;"
        "ALTER TABLE updates DROP COLUMN identity_note; ALTER TABLE files DROP COLUMN blocks_sent;"
        "ALTER TABLE updates DROP COLUMN modem_left;"
        "INSERT INTO updates (started_ms, ended_ms, machine, serial, result_code) VALUES "
        "(5, 9, 'old-pc', 'OLD1', 1), (6, NULL, 'old-pc', 'OLD2', NULL);"
        "INSERT INTO files (update_id, seq, name, size) VALUES (1, 0, 'a', 1), (1, 1, 'b', 2);"
        "PRAGMA user_version=2;";
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &message), SQLITE_OK) << message;
    sqlite3_close(db);

    auto store = open(path);
    ASSERT_TRUE(store);
    std::vector<HistoryUpdate> all;
    std::string error;
    ASSERT_TRUE(store->Query(HistoryFilter(), &all, &error)) << error;
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[0].uuid, all[1].uuid);
    for (const HistoryUpdate& u : all) {
        EXPECT_TRUE(isUuid(u.uuid)) << u.uuid;
        EXPECT_EQ(u.station, "old-pc");
        EXPECT_TRUE(u.pending());
    }
    EXPECT_EQ(all[0].serial, "OLD2");
    EXPECT_EQ(all[0].revision, 1) << "begun only";
    EXPECT_EQ(all[1].revision, 4) << "begun, two files, finished";
    EXPECT_EQ(pending(*store), 2);
}

// The store a station records in names every record after the station and leaves the rest
// to the local history.
TEST(ShippingMarks, TheStationsStoreNamesItsRecords) {
    TempDir dir;
    std::unique_ptr<IHistoryStore> store =
        history_StationStore(open(dir.file("h.sqlite3")), "line1-st2", nullptr, 0);
    ASSERT_TRUE(store);
    EXPECT_EQ(history_ShippingOf(store.get()), nullptr) << "no server named";
    std::string error;
    HistoryUpdate start;
    start.startedMs = 1;
    start.machine = "pc";
    ASSERT_GT(store->BeginUpdate(start, &error), 0) << error;
    EXPECT_EQ(only(*store).station, "line1-st2");
}

}  // namespace
