// The fleet history: shipping a station's records to a PostgreSQL server on this machine
// (started in a temporary folder as the tests do, but syncing what it writes as a production
// server does).
//
// Prints the records shipped per second (BENCH_FLEET_RECORDS finished records, default 2000,
// each with seven files and seven answers, sent by `history sync`'s code in batches), and what
// shipping adds to an update's time with 16 modems: 16 updates at once, each on its own thread
// recording through the station's store as the station's recorder does (begin, seven files,
// the return to modem mode, finish, BENCH_FLEET_GAP_MS apart, default 10, as an update's
// steps are), once without a server and once with the shipper sending every record as it is
// written. The time each update's thread spends in those calls is summed; the difference per
// update is what the update pays for shipping (target < 1 ms; the shipper's work is on its
// own thread). The server runs on this machine too, so its work competes for the same
// processors: an upper bound of what a remote server costs. Also how long the last record
// takes to reach the server after its update ended.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "history/history_server.h"
#include "history/history_shipper.h"
#include "history/history_store.h"
#include "history/history_time.h"
#include "history/update_recorder.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "support/private_postgres.h"

namespace {

const int kModems = 16;
const int kRounds = 31;
int g_gapMs = 10;

HistoryFile fileOf(int seq) {
    HistoryFile f;
    f.seq = seq;
    f.name = "archive" + std::to_string(seq) + ".wrapped";
    f.size = 6000000 + seq;
    f.archiveId = seq;
    f.archiveName = "MDM";
    f.sha256 = std::string(64, 'a');
    f.transferMs = 1200;
    f.programmed = true;
    return f;
}

std::vector<HistoryAnswer> answers() {
    return {{0, "AT+GMR", "SIM_1.0.0 [2026-01-01]"}, {0, "AT%IFWR", "%IFWR: BT2 1.0.0"},
            {0, "AT%ICOMPAT", "%ICOMPAT: 1"},        {1, "AT+GMR", "LDR 1.0.0"},
            {1, "AT%IFWR", "%IFWR: LDR 1.0.0"},      {1, "AT%IFLIST", "7"},
            {1, "AT%CHIPID", "%CHIPID: 0x1"}};
}

// Writes n finished records straight into the store.
bool writeRecords(IHistoryStore& store, int n) {
    std::string error;
    for (int i = 0; i < n; ++i) {
        HistoryUpdate u;
        u.startedMs = history_NowMs();
        u.machine = "bench-pc";
        u.serial = "SN" + std::to_string(i);
        u.location = "1-1." + std::to_string(i % 16 + 1);
        int64_t id = store.BeginUpdate(u, &error);
        if (id <= 0) return false;
        for (int k = 0; k < 7; ++k)
            if (!store.AddFile(id, fileOf(k), &error)) return false;
        HistoryUpdate end;
        end.endedMs = history_NowMs();
        end.resultCode = 1;
        end.resultWords = "update complete";
        end.answers = answers();
        if (!store.FinishUpdate(id, end, &error)) return false;
    }
    return true;
}

struct Job {
    IHistoryStore* store;
    const CFirmwareFiles* files;
    int index;
    int64_t spentUs;
};

// 16 updates at once through store, as the station's recorder writes them; real
// microseconds each update's thread spent recording, on average.
double recordingUs(IHistoryStore* store, const CFirmwareFiles* files) {
    std::vector<Job> jobs(kModems);
    std::vector<PlatformThread*> threads;
    for (int i = 0; i < kModems; ++i) {
        jobs[static_cast<size_t>(i)] = Job{store, files, i, 0};
        threads.push_back(thread_Start(
            [](void* arg) {
                Job* j = static_cast<Job*>(arg);
                CUpdateRecorder r(j->store,
                                  [](const std::string& w) { fprintf(stderr, "%s\n", w.c_str()); });
                // Only the time inside the recorder counts, not the pauses between the steps.
                auto timed = [j](const std::function<void()>& step) {
                    clk_SleepMs(static_cast<uint32_t>(g_gapMs));
                    int64_t start = clk_RealNowUs();
                    step();
                    j->spentUs += clk_RealNowUs() - start;
                };
                HistoryUpdate begin;
                begin.location = "1-1." + std::to_string(j->index + 1);
                begin.serial = "SIM" + std::to_string(j->index + 1);
                timed([&] { r.Begin(begin, j->files); });
                for (size_t k = 0; k < j->files->Count(); ++k) {
                    timed([&] { r.StartFile(static_cast<int>(k)); });
                    timed([&] { r.EndFile(static_cast<int>(k), true); });
                }
                HistoryUpdate end;
                end.resultCode = 1;
                end.answers = answers();
                timed([&] { r.Finish(end); });
            },
            &jobs[static_cast<size_t>(i)]));
    }
    for (PlatformThread* t : threads) thread_Join(t);
    int64_t total = 0;
    for (const Job& j : jobs) total += j.spentUs;
    return static_cast<double>(total) / kModems;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int64_t serverCount(const std::string& uri) {
    std::string error;
    std::unique_ptr<IHistoryServer> s = history_OpenServer(uri, false, nullptr, &error);
    int64_t n = -1;
    if (s) s->Count(HistoryFilter(), &n, &error);
    return n;
}

}  // namespace

int main() {
    int records = getenv("BENCH_FLEET_RECORDS") ? atoi(getenv("BENCH_FLEET_RECORDS")) : 2000;
    if (records < 1 || records > 1000000) records = 2000;
    if (getenv("BENCH_FLEET_GAP_MS")) g_gapMs = std::max(0, atoi(getenv("BENCH_FLEET_GAP_MS")));
    testsupport::PrivatePostgres pg;
    // As if on a machine of its own: the server's work does not take the station's processors.
    pg.setLowPriority(true);
    std::string error;
    if (!pg.start(&error, true)) {
        fprintf(stderr, "fleet: %s\n", error.c_str());
        return 1;
    }
    char tmpl[] = "/tmp/mffleet.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string root = tmpl;
    std::string firmware = root + "/firmware";
    std::string cmd =
        std::string(MODEMFLASH_CLI_PATH) + " sample " + firmware + " --small > /dev/null";
    if (system(cmd.c_str()) != 0) return 1;
    bool ok = true;

    // Records per second: a station's history of finished records, shipped in batches.
    {
        std::string notice;
        std::unique_ptr<IHistoryStore> local =
            history_OpenStore(root + "/throughput.sqlite3", &notice, &error);
        if (!local || !writeRecords(*local, records)) {
            fprintf(stderr, "fleet: cannot write the records: %s\n", error.c_str());
            return 1;
        }
        std::string uri = pg.uri();
        // The tables first, so that their making is not timed.
        if (!history_OpenServer(uri, true, nullptr, &error)) {
            fprintf(stderr, "fleet: %s\n", error.c_str());
            return 1;
        }
        int64_t start = clk_RealNowUs();
        HistorySyncCount count;
        ok = history_SyncNow(*local, uri, &count, &error) && count.left == 0 &&
             count.shipped == records;
        double seconds = (clk_RealNowUs() - start) / 1e6;
        printf(
            "shipping: %lld records (7 files, 7 answers each) in %.2f s: %.0f records/s to a "
            "local PostgreSQL that syncs its commits%s%s\n",
            static_cast<long long>(count.shipped), seconds, count.shipped / seconds,
            ok ? "" : "; FAILED: ", ok ? "" : error.c_str());
    }

    // What shipping adds to each update of a 16-modem station.
    CFirmwareFiles files(history_FirmwarePaths(firmware));
    files.WaitDescribed();
    std::vector<double> without, with;
    std::string shipUri;
    {
        pg.createDatabase("station");
        shipUri = pg.uri("station");
        std::string notice;
        std::unique_ptr<IHistoryStore> plain = history_StationStore(
            history_OpenStore(root + "/plain.sqlite3", &notice, &error), "st", nullptr, 0);
        std::string path = root + "/shipping.sqlite3";
        std::unique_ptr<IHistoryStore> local = history_OpenStore(path, &notice, &error);
        std::unique_ptr<IHistoryShipper> shipper = history_StartShipper(
            path, shipUri, [](const std::string& w) { fprintf(stderr, "%s\n", w.c_str()); },
            &error);
        if (!plain || !local || !shipper) {
            fprintf(stderr, "fleet: %s\n", error.c_str());
            return 1;
        }
        std::unique_ptr<IHistoryStore> shipping =
            history_StationStore(std::move(local), "st", std::move(shipper), 5000);
        // The rounds alternate, so that both see the same machine.
        for (int r = 0; r < kRounds; ++r) {
            without.push_back(recordingUs(plain.get(), &files));
            with.push_back(recordingUs(shipping.get(), &files));
        }
        int64_t ended = clk_RealNowUs();
        int64_t expected = static_cast<int64_t>(kRounds) * kModems;
        while (serverCount(shipUri) < expected && clk_RealNowUs() - ended < 30000000)
            clk_SleepMs(5);
        double lag = (clk_RealNowUs() - ended) / 1000.0;
        bool arrived = serverCount(shipUri) == expected;
        ok = ok && arrived;
        // Each round with the shipper against the round without it just before: the machine's
        // load drifts less between two neighbours than over the whole run.
        std::vector<double> differences;
        for (size_t r = 0; r < with.size(); ++r) differences.push_back(with[r] - without[r]);
        double added = median(differences) / 1000.0;
        printf(
            "recording with 16 updates at once (steps %d ms apart): %.3f ms per update "
            "without a server, %.3f ms with the shipper (medians of %d rounds)\n",
            g_gapMs, median(without) / 1000.0, median(with) / 1000.0, kRounds);
        printf(
            "shipping adds %.3f ms to an update's time with 16 modems (median of the rounds' "
            "differences; target < 1 ms): %s\n",
            added, added < 1.0 ? "met" : "NOT met");
        // What an update's thread itself does for shipping: it wakes the shipper after each
        // write.
        std::string pokePath = root + "/poke.sqlite3";
        std::unique_ptr<IHistoryStore> pokeLocal = history_OpenStore(pokePath, &notice, &error);
        std::unique_ptr<IHistoryShipper> poked =
            history_StartShipper(pokePath, shipUri, nullptr, &error);
        if (poked) {
            const int kPokes = 200000;
            int64_t start = clk_RealNowUs();
            for (int i = 0; i < kPokes; ++i) poked->Poke();
            printf("a wake-up of the shipper costs the writing thread %.3f us (10 per update)\n",
                   static_cast<double>(clk_RealNowUs() - start) / kPokes);
            poked->Stop(0);
        }
        printf("the last of %lld records reached the server %.0f ms after its update ended%s\n",
               static_cast<long long>(expected), lag, arrived ? "" : " (NOT all arrived)");
    }
    cmd = "rm -rf " + root;
    if (system(cmd.c_str()) != 0) return 1;
    return ok ? 0 : 1;
}
