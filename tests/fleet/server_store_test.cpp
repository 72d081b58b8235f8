// The PostgreSQL store of the fleet's history against a real server: its tables made on first
// use, the rule by which a record replaces another, what it lists, and how long it may wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fleet_fixture.h"
#include "history/history_server.h"

namespace {

using fleet::everything;
using fleet::finished;
using fleet::record;

std::unique_ptr<IHistoryServer> openServer(const std::string& uri, bool forWriting = true) {
    std::string error;
    std::unique_ptr<IHistoryServer> s = history_OpenServer(uri, forWriting, nullptr, &error);
    EXPECT_TRUE(s) << error;
    return s;
}

bool put(IHistoryServer& s, const std::vector<HistoryUpdate>& records) {
    std::string error;
    std::vector<std::string> refused;
    bool ok = s.PutUpdates(records, &refused, &error);
    EXPECT_TRUE(ok) << error;
    EXPECT_TRUE(refused.empty()) << refused[0];
    return ok;
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

TEST(ServerStore, TheTablesAreMadeOnFirstUseOnceWhenStationsStartTogether) {
    std::string uri = fleet::freshDatabase();
    testsupport::PrivatePostgres* pg = fleet::server();
    ASSERT_TRUE(pg);
    std::string db = uri.substr(uri.find("@/") + 2, uri.find('?') - uri.find("@/") - 2);
    // A reader of a server without them lists nothing and makes nothing.
    {
        auto reader = openServer(uri, false);
        ASSERT_TRUE(reader);
        EXPECT_TRUE(everything(*reader).empty());
        std::string out;
        ASSERT_TRUE(pg->sql("SELECT to_regclass('modemflash_updates') IS NULL", &out, db));
        EXPECT_EQ(out, "t\n");
    }
    // Four stations open the fresh server at the same moment: each gets the tables, which
    // were made once.
    std::atomic<int> ready{0};
    std::vector<std::thread> stations;
    std::vector<std::string> errors(4);
    for (int i = 0; i < 4; ++i)
        stations.emplace_back([&, i] {
            ++ready;
            while (ready < 4) std::this_thread::yield();
            auto s = history_OpenServer(uri, true, nullptr, &errors[static_cast<size_t>(i)]);
            if (s) errors[static_cast<size_t>(i)] = "ok";
        });
    for (std::thread& t : stations) t.join();
    for (const std::string& e : errors) EXPECT_EQ(e, "ok");
    std::string out;
    // Each step once, in order.
    ASSERT_TRUE(pg->sql("SELECT version FROM modemflash_schema ORDER BY version", &out, db));
    std::string steps;
    for (size_t v = 1; v <= history_ServerSchemaSteps().size(); ++v)
        steps += std::to_string(v) + "\n";
    EXPECT_EQ(out, steps);
    ASSERT_TRUE(pg->sql("SELECT count(*) FROM modemflash_updates", &out, db));
    EXPECT_EQ(out, "0\n");
}

TEST(ServerStore, AFinishedRecordReplacesAnUnfinishedOneNeverTheOtherWayRound) {
    auto s = openServer(fleet::freshDatabase());
    ASSERT_TRUE(s);
    HistoryUpdate start = record("SN1", 1000);
    start.revision = 2;
    start.files = {fleet::file(0)};
    ASSERT_TRUE(put(*s, {start}));
    ASSERT_TRUE(put(*s, {start}));  // sent twice: kept once
    std::vector<HistoryUpdate> all = everything(*s);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_FALSE(all[0].finished());
    EXPECT_EQ(all[0].files.size(), 1u);

    HistoryUpdate end = finished(start, 7);
    ASSERT_TRUE(put(*s, {end}));
    // A late copy of the unfinished record, even one of a higher revision, changes nothing.
    HistoryUpdate late = start;
    late.revision = 99;
    late.files = {fleet::file(0), fleet::file(1)};
    ASSERT_TRUE(put(*s, {start, late}));
    all = everything(*s);
    ASSERT_EQ(all.size(), 1u);
    fleet::expectSameRecord(all[0], end);
    EXPECT_FALSE(all[0].pending()) << "what the server holds is shipped";

    // Between two finished copies, the later revision wins; an earlier one does not.
    HistoryUpdate again = end;
    again.revision = end.revision + 1;
    again.portNames = "COM65,COM66";
    again.files.pop_back();
    ASSERT_TRUE(put(*s, {again, end}));
    all = everything(*s);
    ASSERT_EQ(all.size(), 1u);
    fleet::expectSameRecord(all[0], again);
}

TEST(ServerStore, EveryFieldArrivesAsWrittenTheModemsBytesAndUnknownsIncluded) {
    auto s = openServer(fleet::freshDatabase());
    ASSERT_TRUE(s);
    HistoryUpdate u = finished(record("SN\xe4\xb8\xad", 1765242675123), 3);
    u.files[0].size = -1;  // unreadable: NULL on the server, -1 again here
    u.files[0].sha256 = "";
    u.answers = {{0, "AT+GMR", "\xc9\xfd\xbc\xb6\xb3\xc9\xb9\xa6\n\"'\\\x01\x7f\xff"},
                 {0, "AT%IFWR", ""},
                 {1, "AT%IFLIST", std::string(255, '\xa1')}};
    u.folder = "/fw/\xe5\x9b\xba\xe4\xbb\xb6 'x\" \\y";
    u.identityNote = "the update ran on COM9, not on COM7 found when it began";
    u.modemLeft = "the modem is left in loader mode; the last file written was a.wrapped";
    HistoryUpdate open = record("SN2", 1765242675000);
    ASSERT_TRUE(put(*s, {u, open}));
    std::vector<HistoryUpdate> all = everything(*s);
    ASSERT_EQ(all.size(), 2u);
    fleet::expectSameRecord(all[0], u);  // newest first
    fleet::expectSameRecord(all[1], open);
    EXPECT_EQ(all[1].endedMs, -1);
    EXPECT_EQ(all[1].resultCode, -1);
    EXPECT_GT(all[0].shippedMs, 0) << "the time the server took it";
    EXPECT_GT(all[0].id, 0) << "the server's own number";
}

TEST(ServerStore, ATextThatIsNotUtf8ArrivesWithReplacementCharacters) {
    auto s = openServer(fleet::freshDatabase());
    ASSERT_TRUE(s);
    HistoryUpdate u = record("SN1", 5000);
    u.folder = std::string("/fw/\xb9\xa4\xbc\xfe");  // GBK bytes: not UTF-8
    ASSERT_TRUE(put(*s, {u}));
    std::vector<HistoryUpdate> all = everything(*s);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].folder, "/fw/\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(ServerStore, ARecordTheServerRefusesDoesNotStopTheOthers) {
    auto s = openServer(fleet::freshDatabase());
    ASSERT_TRUE(s);
    HistoryUpdate bad = record("BAD", 2000);
    bad.uuid = "not-a-uuid";
    std::vector<std::string> refused;
    std::string error;
    ASSERT_TRUE(s->PutUpdates({record("A", 1000), bad, record("B", 3000)}, &refused, &error))
        << error;
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].rfind("not-a-uuid: ", 0), 0u) << refused[0];
    std::vector<HistoryUpdate> all = everything(*s);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].serial, "B");
    EXPECT_EQ(all[1].serial, "A");
}

// A failure of the moment (here the server out of space) is no refusal of the records: the
// call fails, nothing is written, and nothing is set aside for good.
TEST(ServerStore, AFailureOfTheMomentIsNoRefusalOfTheRecords) {
    std::string uri = fleet::freshDatabase();
    auto s = openServer(uri);
    ASSERT_TRUE(s);
    std::string db = uri.substr(uri.find("@/") + 2, uri.find('?') - uri.find("@/") - 2);
    ASSERT_TRUE(fleet::server()->sql(
        "CREATE FUNCTION full_disk() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF NEW.serial = 'FULL' THEN RAISE EXCEPTION 'no space left' USING ERRCODE = '53100'; "
        "END IF; RETURN NEW; END $$; CREATE TRIGGER full_disk BEFORE INSERT ON "
        "modemflash_updates FOR EACH ROW EXECUTE FUNCTION full_disk();",
        nullptr, db));
    std::vector<std::string> refused;
    std::string error;
    EXPECT_FALSE(s->PutUpdates({record("A", 1000), record("FULL", 2000)}, &refused, &error));
    EXPECT_NE(error.find("no space left"), std::string::npos) << error;
    EXPECT_TRUE(refused.empty()) << refused[0];
    EXPECT_TRUE(everything(*s).empty());
}

TEST(ServerStore, ListsTheFleetNewestFirstWithTheFiltersAndPagesOfTheLocalHistory) {
    auto s = openServer(fleet::freshDatabase());
    ASSERT_TRUE(s);
    HistoryUpdate failed = finished(record("S1", 3000, "st2"), 2);
    failed.resultCode = 6;
    ASSERT_TRUE(put(*s, {finished(record("S1", 1000, "st1"), 1), finished(record("S2", 2000), 1),
                         failed, record("S3", 4000, "st2")}));
    auto serials = [&](HistoryFilter f) {
        std::string out;
        for (const HistoryUpdate& u : everything(*s, f)) out += u.serial + " ";
        return out;
    };
    HistoryFilter f;
    EXPECT_EQ(serials(f), "S3 S1 S2 S1 ");
    f.station = "st2";
    EXPECT_EQ(serials(f), "S3 S1 ");
    f = HistoryFilter();
    f.serial = "S1";
    EXPECT_EQ(serials(f), "S1 S1 ");
    f = HistoryFilter();
    f.failedOnly = true;
    EXPECT_EQ(serials(f), "S3 S1 ");
    f = HistoryFilter();
    f.sinceMs = 2000;
    f.limit = 2;
    EXPECT_EQ(serials(f), "S3 S1 ");
    int64_t n = 0;
    std::string error;
    f = HistoryFilter();
    ASSERT_TRUE(s->Count(f, &n, &error)) << error;
    EXPECT_EQ(n, 4);
    f.offset = 1;
    f.limit = 2;
    EXPECT_EQ(serials(f), "S1 S2 ");
}

TEST(ServerStore, TablesOfANewerModemflashAreReadButNeverWritten) {
    std::string uri = fleet::freshDatabase();
    ASSERT_TRUE(openServer(uri));
    std::string db = uri.substr(uri.find("@/") + 2, uri.find('?') - uri.find("@/") - 2);
    ASSERT_TRUE(
        fleet::server()->sql("INSERT INTO modemflash_schema (version) VALUES (99)", nullptr, db));
    std::string error;
    EXPECT_FALSE(history_OpenServer(uri, true, nullptr, &error));
    EXPECT_NE(error.find("newer modemflash (version 99"), std::string::npos) << error;
    EXPECT_TRUE(history_OpenServer(uri, false, nullptr, &error)) << error;
}

TEST(ServerStore, AServerThatDoesNotAnswerCostsTheTimeOutOrNothingWhenTheCallerGivesUp) {
    std::string uri = fleet::freshDatabase() + "&connect_timeout=2";
    testsupport::PrivatePostgres* pg = fleet::server();
    ASSERT_TRUE(pg);
    auto open = openServer(uri);
    ASSERT_TRUE(open);
    std::unique_ptr<fleet::Frozen> frozen(new fleet::Frozen(pg));
    // Connecting: the time-out of the string, then a clear error.
    auto t = std::chrono::steady_clock::now();
    std::string error;
    EXPECT_FALSE(history_OpenServer(uri, true, nullptr, &error));
    double took = secondsSince(t);
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 4);
    EXPECT_NE(error.find("did not answer within 2 s to connect"), std::string::npos) << error;
    // A statement on a connection made before: its own bound (twice the time-out, and half
    // a second for the server's own statement_timeout to speak first).
    t = std::chrono::steady_clock::now();
    EXPECT_FALSE(open->PutUpdates({record("S1", 1000)}, nullptr, &error));
    took = secondsSince(t);
    EXPECT_GE(took, 4.4);
    EXPECT_LT(took, 7);
    EXPECT_NE(error.find("did not answer within 4 s to a statement"), std::string::npos) << error;
    // A caller that gives up (a stopping shipper) waits for nothing.
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    t = std::chrono::steady_clock::now();
    EXPECT_FALSE(history_OpenServer(
        uri, true, [&] { return stop.load(); }, &error));
    took = secondsSince(t);
    stopper.join();
    EXPECT_LT(took, 1.0);
    frozen.reset();
    EXPECT_TRUE(openServer(uri)) << "the server answers again";
}

}  // namespace
