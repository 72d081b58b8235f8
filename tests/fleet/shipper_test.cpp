// The shipper against a real server: what a station writes arrives whole and once, and a
// server that is away, frozen or killed mid-statement costs the writes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fleet_fixture.h"
#include "history/history_server.h"
#include "history/history_shipper.h"
#include "history/history_time.h"
#include "platform/clock.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The warning lines the shipper gave, from its thread.
class Warnings {
  public:
    HistoryWarn sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> g(mutex_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> g(mutex_);
        return lines_;
    }
    size_t count(const std::string& what) const {
        size_t n = 0;
        for (const std::string& l : lines()) n += l.find(what) != std::string::npos ? 1 : 0;
        return n;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class Shipping : public ::testing::Test {
  protected:
    void SetUp() override {
        clk_SetScale(50);  // the pauses between tries
        uri = fleet::freshDatabase();
        pg = fleet::server();
        ASSERT_TRUE(pg);
    }
    void TearDown() override {
        store.reset();
        if (pg && !pg->running()) pg->start(nullptr);
        clk_SetScale(1);
    }

    // The station's store, shipping to uri (or to `to`).
    void openStation(const std::string& to = "") {
        std::string notice, error;
        std::unique_ptr<IHistoryStore> local = history_OpenStore(path, &notice, &error);
        ASSERT_TRUE(local) << error;
        std::unique_ptr<IHistoryShipper> shipper =
            history_StartShipper(path, to.empty() ? uri : to, warnings.sink(), &error);
        ASSERT_TRUE(shipper) << error;
        store = history_StationStore(std::move(local), "st1", std::move(shipper), 2000);
    }

    // One whole update as a recorder writes it; the longest single write in *slowestMs.
    int64_t update(const std::string& serial, int files, double* slowestMs = nullptr) {
        std::string error;
        double slowest = 0;
        auto timed = [&](auto write) {
            Clock::time_point t = Clock::now();
            write();
            slowest = std::max(slowest, msSince(t));
        };
        int64_t id = 0;
        HistoryUpdate start = fleet::record(serial, history_NowMs());
        start.uuid.clear();
        start.station.clear();
        timed([&] { id = store->BeginUpdate(start, &error); });
        EXPECT_GT(id, 0) << error;
        for (int i = 0; i < files; ++i)
            timed([&] { EXPECT_TRUE(store->AddFile(id, fleet::file(i), &error)) << error; });
        HistoryUpdate end = fleet::finished(start, 0);
        end.endedMs = history_NowMs();
        timed([&] { EXPECT_TRUE(store->FinishUpdate(id, end, &error)) << error; });
        if (slowestMs) *slowestMs = slowest;
        return id;
    }

    std::vector<HistoryUpdate> onServer() {
        std::string error;
        std::unique_ptr<IHistoryServer> s = history_OpenServer(uri, false, nullptr, &error);
        if (!s) return {};
        return fleet::everything(*s);
    }

    // Waits (real time) until the server holds n finished records.
    bool arrived(size_t n, int timeoutMs = 10000) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            std::vector<HistoryUpdate> all = onServer();
            size_t done = 0;
            for (const HistoryUpdate& u : all) done += u.finished() ? 1 : 0;
            if (all.size() == n && done == n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    int64_t pendingLocally() {
        HistoryFilter f;
        f.pendingOnly = true;
        int64_t n = -1;
        std::string error;
        EXPECT_TRUE(store->Count(f, &n, &error)) << error;
        return n;
    }

    testsupport::TempDir dir;
    std::string path = dir.file("history.sqlite3");
    std::string uri;
    testsupport::PrivatePostgres* pg = nullptr;
    Warnings warnings;
    std::unique_ptr<IHistoryStore> store;
};

TEST_F(Shipping, EachRecordArrivesWholeOnceAndIsMarkedShipped) {
    openStation();
    int64_t first = update("SN1", 7);
    update("SN2", 3);
    ASSERT_TRUE(arrived(2));
    // Marks follow the server's answer: wait for the local side to catch up.
    for (int i = 0; i < 500 && pendingLocally() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pendingLocally(), 0);
    std::vector<HistoryUpdate> local = fleet::everything(*store);
    std::vector<HistoryUpdate> remote = onServer();
    ASSERT_EQ(local.size(), 2u);
    ASSERT_EQ(remote.size(), 2u);
    // Each local record against the server's record of the same UUID (two updates that start
    // within a millisecond of each other may be listed in either order).
    for (const HistoryUpdate& l : local) {
        auto r = std::find_if(remote.begin(), remote.end(),
                              [&](const HistoryUpdate& u) { return u.uuid == l.uuid; });
        ASSERT_NE(r, remote.end()) << l.uuid;
        fleet::expectSameRecord(*r, l);
        EXPECT_EQ(r->station, "st1") << "the station's name";
    }
    for (const HistoryUpdate& l : local)
        if (l.serial == "SN1") {
            EXPECT_EQ(l.id, first);
        }
    const IHistoryShipping* shipping = history_ShippingOf(store.get());
    ASSERT_TRUE(shipping);
    HistoryShippingState state = shipping->ShippingState();
    EXPECT_EQ(state.pending, 0);
    EXPECT_GT(state.lastShippedMs, 0);
    EXPECT_EQ(state.server, "connected");
    EXPECT_TRUE(warnings.lines().empty()) << warnings.lines()[0];
}

// The server is stopped before the first write and started after the last: every write is
// as quick as ever, the records wait pending, one line says the server is away and one that
// it is back, and each record arrives once, finished.
TEST_F(Shipping, AServerAwayCostsTheWritesNothingAndTheRecordsArriveWhenItIsBack) {
    ASSERT_TRUE(pg->stop());
    openStation();
    double slowest = 0;
    for (int i = 0; i < 4; ++i) {
        double ms = 0;
        update("SN" + std::to_string(i), 7, &ms);
        slowest = std::max(slowest, ms);
    }
    // Several tries fail meanwhile (a pause of 10 ms, doubling to 200 ms, at this scale).
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LT(slowest, 50) << "a write waited for the server";
    EXPECT_EQ(pendingLocally(), 4);
    EXPECT_EQ(warnings.lines().size(), 1u);
    EXPECT_EQ(warnings.count("the records wait in the local history, pending"), 1u);
    HistoryShippingState state = history_ShippingOf(store.get())->ShippingState();
    EXPECT_EQ(state.server, "unreachable");
    EXPECT_EQ(state.pending, 4);
    EXPECT_FALSE(state.detail.empty());

    std::string error;
    ASSERT_TRUE(pg->start(&error)) << error;
    ASSERT_TRUE(arrived(4)) << "the records did not arrive by themselves";
    EXPECT_EQ(warnings.count("answers again"), 1u);
    EXPECT_EQ(warnings.lines().size(), 2u);
    for (const std::string& line : warnings.lines())
        EXPECT_EQ(line.find(pg->password()), std::string::npos) << line;
}

// A server that takes connections and answers nothing: no write waits for it, and the
// station's end does not wait for its time-outs either.
TEST_F(Shipping, AFrozenServerHoldsUpNeitherTheWritesNorTheEnd) {
    fleet::Frozen frozen(pg);
    openStation(uri + "&connect_timeout=10");
    double slowest = 0;
    update("SN1", 7, &slowest);
    EXPECT_LT(slowest, 50);
    Clock::time_point t = Clock::now();
    store.reset();  // stops the shipper, mid-connection
    EXPECT_LT(msSince(t), 1000);
}

// The server is killed while the shipper's statement waits on it (a lock holds it), and
// started again: no record is lost, none is there twice.
TEST_F(Shipping, AServerKilledMidStatementLosesNoRecordAndDoublesNone) {
    openStation();
    update("SN1", 2);
    ASSERT_TRUE(arrived(1));
    std::string db = uri.substr(uri.find("@/") + 2, uri.find('?') - uri.find("@/") - 2);
    {
        testsupport::PsqlSession lock(*pg, db);
        lock.send("BEGIN; LOCK TABLE modemflash_updates IN ACCESS EXCLUSIVE MODE; SELECT 'held';");
        ASSERT_TRUE(lock.waitFor("held")) << lock.output();
        double slowest = 0;
        for (int i = 2; i <= 4; ++i) {
            double ms = 0;
            update("SN" + std::to_string(i), 7, &ms);
            slowest = std::max(slowest, ms);
        }
        EXPECT_LT(slowest, 50) << "a write waited for the locked server";
        // The shipper is in its statement, waiting for the lock.
        std::string out;
        bool waiting = false;
        for (int i = 0; i < 500 && !waiting; ++i) {
            ASSERT_TRUE(
                pg->sql("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = "
                        "'Lock' AND application_name = 'modemflash'",
                        &out, db));
            waiting = out == "1\n";
            if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(waiting) << "the shipper never waited on the lock";
        pg->kill();
    }
    EXPECT_EQ(pendingLocally(), 3);
    std::string error;
    ASSERT_TRUE(pg->start(&error)) << error;
    ASSERT_TRUE(arrived(4)) << onServer().size() << " on the server, pending here "
                            << pendingLocally();
    std::vector<HistoryUpdate> all = onServer();
    std::vector<std::string> serials;
    for (const HistoryUpdate& u : all) serials.push_back(u.serial);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"SN1", "SN2", "SN3", "SN4"}));
    for (const HistoryUpdate& u : all) EXPECT_EQ(u.files.size(), u.serial == "SN1" ? 2u : 7u);
    EXPECT_EQ(warnings.count("the records wait in the local history"), 1u);
    EXPECT_EQ(warnings.count("answers again"), 1u);
}

// `history sync`: what is pending goes now, on the caller's thread, and a second sync finds
// nothing left; a server away leaves everything pending and says so.
TEST_F(Shipping, ASyncShipsWhatIsPendingOnceAndCountsWhatIsLeft) {
    {
        std::string notice, error;
        store = history_StationStore(history_OpenStore(path, &notice, &error), "st1", nullptr, 0);
        ASSERT_TRUE(store) << error;
    }
    for (int i = 0; i < 3; ++i) update("SN" + std::to_string(i), 2);
    HistorySyncCount count;
    std::string error;
    EXPECT_FALSE(history_SyncNow(*store, "postgresql://fleet@/fleet?host=" + dir.path() + "&port=1",
                                 &count, &error));
    EXPECT_EQ(count.shipped, 0);
    EXPECT_EQ(count.left, 3);
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(history_SyncNow(*store, uri, &count, &error)) << error;
    EXPECT_EQ(count.shipped, 3);
    EXPECT_EQ(count.left, 0);
    ASSERT_TRUE(history_SyncNow(*store, uri, &count, &error)) << error;
    EXPECT_EQ(count.shipped, 0);
    EXPECT_EQ(onServer().size(), 3u);
}

}  // namespace
