// The dashboard's state, fed listener calls as the station makes them: tiles, events and
// their replay, counters, metrics and logs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "dashboard/dashboard.h"
#include "modemflash/downloader.h"

using nlohmann::json;

namespace {

StationModem modemAt(const std::string& location, int port = 0) {
    StationModem m;
    m.portIndex = port;
    m.location = location;
    m.serialNumber = "SN-" + location;
    m.portName = "COM" + std::to_string(65 + port);
    return m;
}

StationStatus status(StationPhase phase, int file, int percent) {
    StationStatus s;
    s.phase = phase;
    s.fileIndex = file;
    s.fileCount = 2;
    s.fileName = file == 1 ? "loader.wrapped" : "modem.wrapped";
    s.percent = percent;
    return s;
}

StationResult result(int download, double seconds) {
    StationResult r;
    r.jobResult = download == DOWNLOAD_OK ? 1 : 5;
    r.downloadResult = download;
    r.updated = download == DOWNLOAD_OK;
    r.words = r.updated ? "updated" : "the firmware transfer failed";
    r.seconds = seconds;
    return r;
}

DashboardConfig config() {
    DashboardConfig c;
    c.version = "9.8.7";
    c.folder = "/fw";
    c.fileNames = {"loader.wrapped", "modem.wrapped"};
    c.fileSizes = {1000, 5000};
    return c;
}

// A whole update of one modem: start, the phases of two files, finish.
void update(CDashboard& d, const StationModem& m, int download, double seconds) {
    d.OnModemStart(m);
    d.OnModemStatus(m, status(STATION_ENTERING_LOADER, 0, 1));
    d.OnModemStatus(m, status(STATION_SENDING, 1, 15));
    d.OnModemStatus(m, status(STATION_PROGRAMMING, 1, 55));
    if (download == DOWNLOAD_OK) {
        d.OnModemStatus(m, status(STATION_SENDING, 2, 55));
        d.OnModemStatus(m, status(STATION_PROGRAMMING, 2, 95));
        d.OnModemStatus(m, status(STATION_RETURNING, 2, 95));
    }
    d.OnModemFinish(m, result(download, seconds));
}

std::vector<DashboardEvent> eventsAfter(CDashboard& d, int64_t after, bool* missed) {
    std::vector<DashboardEvent> out;
    d.WaitEvents(after, 100000, 0, &out, missed);
    return out;
}

// Passes on what it is told, so that the host's display still sees every call.
struct Counting : IStationListener {
    int starts = 0, statuses = 0, finishes = 0, logs = 0, notices = 0;
    void OnModemStart(const StationModem&) override { ++starts; }
    void OnModemStatus(const StationModem&, const StationStatus&) override { ++statuses; }
    void OnModemFinish(const StationModem&, const StationResult&) override { ++finishes; }
    void OnModemLog(const StationModem&, int, const char*) override { ++logs; }
    void OnNotice(const char*) override { ++notices; }
};

TEST(DashboardState, TilesInLocationOrderEachWithItsPhaseFileAndResult) {
    Counting inner;
    CDashboard d(config(), &inner);
    update(d, modemAt("1-1.10", 1), DOWNLOAD_OK, 61.5);
    StationModem m = modemAt("1-1.2", 0);
    d.OnModemStart(m);
    d.OnModemStatus(m, status(STATION_SENDING, 2, 60));
    json tiles = json::parse(d.ModemsJson())["modems"];
    ASSERT_EQ(tiles.size(), 2u);
    EXPECT_EQ(tiles[0]["location"], "1-1.2");  // before 1-1.10, as a person reads them
    EXPECT_EQ(tiles[0]["state"], "running");
    EXPECT_EQ(tiles[0]["phase_text"], "sending file 2 of 2 modem.wrapped");
    EXPECT_EQ(tiles[0]["percent"], 60);
    EXPECT_EQ(tiles[0]["serial"], "SN-1-1.2");
    EXPECT_EQ(tiles[0]["log"], "/api/modems/1-1.2/log");
    EXPECT_EQ(tiles[1]["state"], "updated");
    EXPECT_EQ(tiles[1]["result"]["words"], "updated");
    EXPECT_EQ(tiles[1]["result"]["seconds"], 61.5);
    // Every call reached the host's own listener too.
    EXPECT_EQ(inner.starts, 2);
    EXPECT_EQ(inner.statuses, 7);
    EXPECT_EQ(inner.finishes, 1);
}

TEST(DashboardState, EventsOnlyForChangesWithIdsGrowingByOne) {
    CDashboard d(config(), nullptr);
    StationModem m = modemAt("1-1.1");
    d.OnModemStart(m);
    d.OnModemStatus(m, status(STATION_SENDING, 1, 20));
    d.OnModemStatus(m, status(STATION_SENDING, 1, 20));  // nothing changed: no event
    d.OnModemStatus(m, status(STATION_SENDING, 1, 21));
    d.OnModemFinish(m, result(DOWNLOAD_OK, 10));
    bool missed = true;
    std::vector<DashboardEvent> e = eventsAfter(d, 0, &missed);
    EXPECT_FALSE(missed);
    ASSERT_EQ(e.size(), 4u);
    const char* types[] = {"start", "status", "status", "finish"};
    for (size_t i = 0; i < e.size(); ++i) {
        EXPECT_EQ(e[i].id, static_cast<int64_t>(i + 1));
        EXPECT_STREQ(e[i].type, types[i]);
        json j = json::parse(e[i].data);
        EXPECT_EQ(j["id"], e[i].id);
        EXPECT_EQ(j["location"], "1-1.1");
    }
    EXPECT_EQ(json::parse(e[2].data)["modem"]["percent"], 21);
    // A client that has seen the first two gets the rest.
    e = eventsAfter(d, 2, &missed);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].id, 3);
}

TEST(DashboardState, TheLast1000EventsAreKeptAndAnOlderClientIsToldItMissedSome) {
    CDashboard d(config(), nullptr);
    StationModem m = modemAt("1-1.1");
    d.OnModemStart(m);
    for (int i = 0; i < 1200; ++i) d.OnModemStatus(m, status(STATION_SENDING, 1, i % 100));
    EXPECT_EQ(d.LastEventId(), 1201);
    bool missed = false;
    std::vector<DashboardEvent> e = eventsAfter(d, 5, &missed);
    EXPECT_TRUE(missed);
    ASSERT_EQ(e.size(), CDashboard::kEventsKept);
    EXPECT_EQ(e.front().id, 202);
    EXPECT_EQ(e.back().id, 1201);
    e = eventsAfter(d, 201, &missed);  // exactly the oldest kept one is next: nothing missed
    EXPECT_FALSE(missed);
    EXPECT_EQ(e.size(), CDashboard::kEventsKept);
}

TEST(DashboardState, AWaitingClientWakesForTheNextEventAndAtClose) {
    CDashboard d(config(), nullptr);
    std::vector<DashboardEvent> got;
    bool missed = false, open = false;
    std::thread waiter([&] { open = d.WaitEvents(0, 10, 60000, &got, &missed); });
    d.OnModemStart(modemAt("1-1.1"));
    waiter.join();  // long before its minute
    EXPECT_TRUE(open);
    ASSERT_EQ(got.size(), 1u);
    std::thread closing([&] { open = d.WaitEvents(1, 10, 60000, &got, &missed); });
    d.Close();
    closing.join();
    EXPECT_FALSE(open);
}

TEST(DashboardState, SixteenTilesAtMostTheLongestIdleMakesRoom) {
    CDashboard d(config(), nullptr);
    for (int i = 1; i <= 16; ++i) update(d, modemAt("1-" + std::to_string(i)), DOWNLOAD_OK, 1);
    StationModem running = modemAt("1-1");
    d.OnModemStart(running);  // 1-1 is busy again: 1-2 is now the longest idle
    update(d, modemAt("2-1"), DOWNLOAD_OK, 1);
    json tiles = json::parse(d.ModemsJson())["modems"];
    ASSERT_EQ(tiles.size(), 16u);
    std::vector<std::string> locations;
    for (const json& t : tiles) locations.push_back(t["location"]);
    EXPECT_EQ(std::count(locations.begin(), locations.end(), "1-2"), 0);
    EXPECT_EQ(std::count(locations.begin(), locations.end(), "1-1"), 1);
    EXPECT_EQ(std::count(locations.begin(), locations.end(), "2-1"), 1);
    std::string log;
    EXPECT_FALSE(d.LogText("1-2", &log));
}

TEST(DashboardState, TodaysCountersAndTheMetrics) {
    CDashboard d(config(), nullptr);
    HistoryUpdate earlier;  // a record of today from before this start
    earlier.startedMs = 1;
    earlier.endedMs = 1;
    d.SeedToday({earlier});  // not of today: not counted
    update(d, modemAt("1-1.1"), DOWNLOAD_OK, 100);
    update(d, modemAt("1-1.2"), DOWNLOAD_OK, 200);
    update(d, modemAt("1-1.3"), DOWNLOAD_TRANSFER_FAILED, 45);
    StationModem busy = modemAt("1-1.4");
    d.OnModemFinish(busy, [] {
        StationResult r;
        r.jobResult = STATION_NOT_RUN;
        r.words = "its port could not be opened";
        return r;
    }());
    json today = json::parse(d.StationJson())["today"];
    EXPECT_EQ(today["updated"], 2);
    EXPECT_EQ(today["failed"], 2);
    EXPECT_EQ(today["mean_seconds"], 115.0);  // of the three that ran
    std::string m = d.MetricsText();
    EXPECT_NE(m.find("modemflash_updates_total{result=\"updated\"} 2\n"), std::string::npos) << m;
    EXPECT_NE(m.find("modemflash_updates_total{result=\"transfer_failed\"} 1\n"),
              std::string::npos);
    EXPECT_NE(m.find("modemflash_updates_total{result=\"not_run\"} 1\n"), std::string::npos);
    EXPECT_NE(m.find("modemflash_update_duration_seconds_bucket{le=\"60\"} 1\n"),
              std::string::npos);
    EXPECT_NE(m.find("modemflash_update_duration_seconds_bucket{le=\"120\"} 2\n"),
              std::string::npos);
    EXPECT_NE(m.find("modemflash_update_duration_seconds_count 3\n"), std::string::npos);
    EXPECT_NE(m.find("modemflash_update_duration_seconds_sum 345.000\n"), std::string::npos);
    // Both files of the two updates, and the first file of the failed one, which it had sent.
    EXPECT_NE(m.find("modemflash_bytes_sent_total 13000\n"), std::string::npos) << m;
    EXPECT_NE(m.find("modemflash_build_info{version=\"9.8.7\"} 1\n"), std::string::npos);
    EXPECT_NE(m.find("modemflash_modems_active 0\n"), std::string::npos);
}

TEST(DashboardState, EachModemsLatestLogBoundedAndInUtf8) {
    CDashboard d(config(), nullptr);
    StationModem m = modemAt("1-1.1");
    d.OnModemStart(m);
    d.OnModemLog(m, 0, "first update\n");
    d.OnModemStart(m);  // a new update: the log starts again
    d.OnModemLog(m, 1, "SelectMode: \xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc\n");  // GBK
    d.OnModemLog(m, 0, "answer \xff\xfe\n");  // bytes of no encoding
    std::string log;
    ASSERT_TRUE(d.LogText("1-1.1", &log));
    EXPECT_EQ(
        log,
        "SelectMode: \xe6\xa8\xa1\xe5\xbc\x8f\xe5\x88\x87\xe6\x8d\xa2\xe5\xa4\xb1\xe8\xb4\xa5\n"
        "answer \xef\xbf\xbd\xef\xbf\xbd\n");
    std::string line(1000, 'x');
    line += "\n";
    for (int i = 0; i < 1000; ++i) d.OnModemLog(m, 0, line.c_str());
    ASSERT_TRUE(d.LogText("1-1.1", &log));
    EXPECT_LE(log.size(), CDashboard::kLogKept + 100);
    EXPECT_EQ(log.compare(0, 10, "(the first"), 0) << log.substr(0, 80);
    EXPECT_FALSE(d.LogText("9-9", &log));
}

}  // namespace
