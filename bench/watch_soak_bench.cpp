// Station soak: `watch` as it runs for days, in one process. Rounds of modems are plugged in
// (a bank of simulated modems at the same locations each round, faults drawn at random), the
// station updates each as it appears, and the bank is unplugged once every one has ended.
//
//   bench_watch_soak [modems] [seed]      default 500 modems, 10 a round, a seed from the clock
//
// Prints the results by code and the process's open descriptors, threads and resident memory
// after the first round (which sets up what lives for the whole process) and after the last.
// Exits non-zero when the descriptors or threads differ, the resident memory grew by 1 MiB or
// more, or a round's modems did not all end within a minute.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/archive_writer.h"
#include "modem_bank.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "station/station.h"
#include "support/open_descriptors.h"

namespace {

// Faults that end within a second or so at this scale (as the update soak draws them).
const char* const kFaults[] = {
    "",
    "refuse AT%MODE=1",
    "refuse AT%LOAD times=2",
    "refuse AT%LOAD times=all",
    "late AT%PROG=2 ms=3000",
    "pieces AT%MODE?",
    "pieces archive=1 block=1",
    "late archive=2 block=0 ms=2000",
    "reject-header archive=1",
    "reject-block archive=1 block=2",
    "reject-block archive=2 block=1 times=3",
    "refuse AT%PROG times=all",
    "refuse AT%PROG=2 times=all",
    "renumber switch=1",
    "renumber switch=2",
    "return-late ms=20000 switch=2",
    "vanish archive=1 block=2",
    "vanish archive=2 block=1 return=5000",
    "vanish AT%USBMODEM?",
    "never-return switch=2",
    "wrong-mode value=1",
    "autorun-stuck",
};
const size_t kFaultCount = sizeof kFaults / sizeof kFaults[0];
const int kPerRound = 10;

struct Figures {
    int descriptors = 0;
    int threads = 0;
    long rssKiB = 0;
};

Figures measure() {
    Figures f;
    f.descriptors = testsupport::openDescriptors();
    if (FILE* s = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, s)) {
            if (strncmp(line, "Threads:", 8) == 0) f.threads = atoi(line + 8);
            if (strncmp(line, "VmRSS:", 6) == 0) f.rssKiB = atol(line + 6);
        }
        fclose(s);
    }
    return f;
}

bool writeFirmware(const std::string& folder) {
    std::filesystem::create_directories(folder);
    const struct {
        const char* name;
        uint32_t id;
    } files[] = {{"nocd.iso.wrapped", 6}, {"productConfig.bin", 5}};
    for (const auto& file : files) {
        std::vector<uint8_t> payload(40000);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<uint8_t>((i * 131 + file.id * 7) >> 1);
        FILE* f = fopen((folder + "/" + file.name).c_str(), "wb");
        if (f == nullptr) return false;
        ArchiveLayout layout;
        layout.archiveIdWord = file.id;
        CMemoryPayload source(payload.data(), payload.size());
        std::string why;
        int r = archive_Write(f, layout, static_cast<uint32_t>(payload.size()), source, &why);
        fclose(f);
        if (r != 1) return false;
    }
    FILE* ini = fopen((folder + "/update_config.ini").c_str(), "wb");
    if (ini == nullptr) return false;
    fputs("[update flag]\r\nupdate_cat=8;9\r\n", ini);
    fclose(ini);
    return true;
}

// Counts the updates that ended, by result code.
class Tally : public IStationListener {
  public:
    void OnModemStart(const StationModem&) override {}
    void OnModemStatus(const StationModem&, const StationStatus&) override {}
    void OnModemFinish(const StationModem&, const StationResult& r) override {
        std::lock_guard<std::mutex> g(mu);  // guards results
        ++results[r.downloadResult];
        ended++;
    }
    std::mutex mu;
    std::map<int, int> results;
    std::atomic<int> ended{0};
};

}  // namespace

int main(int argc, char** argv) {
    const int modems = argc > 1 ? atoi(argv[1]) : 500;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(strtoul(argv[2], nullptr, 10))
                                   : static_cast<unsigned>(clk_RealNowUs() & 0x7FFFFFFF);
    const int rounds = modems / kPerRound > 1 ? modems / kPerRound : 2;
    printf("watch soak: %d rounds of %d modems, seed %u (bench_watch_soak %d %u repeats it)\n",
           rounds, kPerRound, seed, modems, seed);
    fflush(stdout);
    std::mt19937 random(seed);
    char tmpl[] = "/tmp/mfwsoak.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string root = tmpl, firmware = root + "/firmware";
    const std::string dev = root + "/dev", sys = root + "/sys";
    std::filesystem::create_directories(dev);
    std::filesystem::create_directories(sys);
    setenv("MODEMFLASH_DEV_ROOT", dev.c_str(), 1);
    setenv("MODEMFLASH_SYSFS_ROOT", sys.c_str(), 1);
    if (!writeFirmware(firmware) || chdir(root.c_str()) != 0) return 1;
    clk_SetScale(200);
    mem_FewArenas();  // as `modemflash watch` does before its station starts

    Tally tally;
    CStation station;
    if (!station.SetFirmwareFolder(firmware.c_str())) return 1;
    station.SetConsoleLog(false);
    station.SetListener(&tally);
    std::thread watch([&] { station.Watch(); });

    Figures start;
    bool allEnded = true;
    const int64_t began = clk_RealNowUs();
    for (int round = 0; round < rounds && allEnded; ++round) {
        modemsim::BankOptions o;
        o.devRoot = dev;
        o.sysfsRoot = sys;
        o.count = kPerRound;
        o.republishDelayMs = 3000;
        for (int i = 0; i < kPerRound; ++i) {
            std::string scenario = kFaults[random() % kFaultCount];
            if (random() % 3 == 0) scenario += std::string("\n") + kFaults[random() % kFaultCount];
            o.scenarios[i] = scenario;
        }
        modemsim::ModemBank bank;
        std::string why;
        if (!bank.start(o, &why)) {
            fprintf(stderr, "modemsim: %s\n", why.c_str());
            allEnded = false;
            break;
        }
        const int target = (round + 1) * kPerRound;
        const int64_t limit = clk_RealNowUs() + 60 * 1000000LL;
        while (tally.ended < target && clk_RealNowUs() < limit) usleep(10000);
        allEnded = tally.ended >= target;
        bank.stop();  // unplugged: the station forgets them
        usleep(50000);
        // The simulated modems live in this process: what they freed goes back too, so that
        // the figures are the station's.
        malloc_trim(0);
        if (round == 0) start = measure();
        if ((round + 1) % 10 == 0) {
            Figures now = measure();
            printf("  after %3d modems: descriptors %d, threads %d, resident %ld KiB\n", target,
                   now.descriptors, now.threads, now.rssKiB);
            fflush(stdout);
        }
    }
    const Figures end = measure();  // as the first round's figures: the station still watching
    station.RequestStop();
    watch.join();
    const double seconds = static_cast<double>(clk_RealNowUs() - began) / 1e6;
    printf("results:");
    for (const auto& r : tally.results) printf(" %d x%d", r.first, r.second);
    printf("  (1 updated, 0 failed, 13 programming refused, 14 transfer, 15 mode switch)\n");
    printf("time: %.1f s for %d modems\n", seconds, tally.ended.load());
    printf("descriptors: %d after the first round, %d at the end\n", start.descriptors,
           end.descriptors);
    printf("threads:     %d after the first round, %d at the end\n", start.threads, end.threads);
    printf("resident:    %ld KiB after the first round, %ld KiB at the end (%+ld KiB)\n",
           start.rssKiB, end.rssKiB, end.rssKiB - start.rssKiB);
    const bool ok = allEnded && start.descriptors == end.descriptors &&
                    start.threads == end.threads && end.rssKiB - start.rssKiB < 1024;
    printf("watch soak: %s\n", ok ? "steady" : allEnded ? "NOT steady" : "a round did not end");
    if (chdir("/") != 0) {
    }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return ok ? 0 : 1;
}
