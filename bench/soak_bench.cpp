// Soak: 200 whole updates in a row in one process (CDownloader: configuration, port search,
// the job), each against a fresh simulated modem with faults drawn at random, at time scale
// 200.
//
//   bench_soak [updates] [seed]        default 200 updates, a seed from the clock
//
// Prints the seed, the results by code, and the process's open descriptors, threads and
// resident memory after the first update (which sets up what lives for the whole process)
// and after the last. Exits non-zero when the descriptors or threads differ, or the resident
// memory grew by 1 MiB or more.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/archive_writer.h"
#include "host/downloader.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "support/open_descriptors.h"

namespace {

// Faults that end within a second or so at this scale (none that waits out an AT time-out:
// not even a rejection followed by AA 01, which the host counts as accepted while the modem
// waits for the frame again, so that AT%PROG then waits out its 30000 s).
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

// One update against a fresh modem in its own device tree; the result code, or -1 when the
// modem could not be started.
int oneUpdate(const std::string& dir, const std::string& firmware, const std::string& scenario,
              int initialAutorun) {
    const std::string dev = dir + "/dev", sys = dir + "/sys";
    std::filesystem::create_directories(dev);
    std::filesystem::create_directories(sys);
    setenv("MODEMFLASH_DEV_ROOT", dev.c_str(), 1);
    setenv("MODEMFLASH_SYSFS_ROOT", sys.c_str(), 1);
    if (chdir(dir.c_str()) != 0) return -1;  // the rejection log lands here
    int32_t result = -1;
    {
        modemsim::ModemSim sim;
        modemsim::SimOptions o;
        o.devRoot = dev;
        o.sysfsRoot = sys;
        o.scenario = scenario;
        o.initialAutorun = initialAutorun;
        std::string why;
        if (!sim.start(o, &why)) {
            fprintf(stderr, "modemsim: %s\n", why.c_str());
            return -1;
        }
        CDownloader downloader;
        if (downloader.SetFirmwareFolder(firmware.c_str())) downloader.Download(&result, 0);
        sim.stop();
    }
    if (chdir("/") != 0) return -1;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int updates = argc > 1 ? atoi(argv[1]) : 200;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(strtoul(argv[2], nullptr, 10))
                                   : static_cast<unsigned>(clk_RealNowUs() & 0x7FFFFFFF);
    printf("soak: %d updates, seed %u (bench_soak %d %u repeats this run)\n", updates, seed,
           updates, seed);
    fflush(stdout);
    std::mt19937 random(seed);

    char tmpl[] = "/tmp/mfsoak.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string root = tmpl, firmware = root + "/firmware";
    if (!writeFirmware(firmware)) return 1;
    clk_SetScale(200);

    // The engine's lines go to /dev/null; the figures are measured with them restored.
    fflush(stdout);
    fflush(stderr);
    const int savedOut = dup(1), savedErr = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    auto quiet = [&](bool on) {
        fflush(stdout);
        fflush(stderr);
        dup2(on ? null : savedOut, 1);
        dup2(on ? null : savedErr, 2);
    };

    // The first update sets up what lives as long as the process (the clock, the lock, the
    // port table's buffers, the registry walk's strings): the figures start after it.
    quiet(true);
    oneUpdate(root + "/warmup", firmware, "", 1);
    quiet(false);
    const Figures start = measure();

    std::map<int, int> results;
    const int64_t began = clk_RealNowUs();
    for (int i = 0; i < updates; ++i) {
        std::string scenario = kFaults[random() % kFaultCount];
        if (random() % 3 == 0) scenario += std::string("\n") + kFaults[random() % kFaultCount];
        const int autorun = random() % 4 == 0 ? 0 : 1;
        quiet(true);
        const int r = oneUpdate(root + "/u" + std::to_string(i), firmware, scenario, autorun);
        quiet(false);
        ++results[r];
        if ((i + 1) % 50 == 0) {
            Figures now = measure();
            printf("  after %3d: descriptors %d, threads %d, resident %ld KiB\n", i + 1,
                   now.descriptors, now.threads, now.rssKiB);
            fflush(stdout);
        }
    }
    const double seconds = static_cast<double>(clk_RealNowUs() - began) / 1e6;
    const Figures end = measure();
    close(null);
    close(savedOut);
    close(savedErr);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);

    printf("results:");
    for (const auto& kv : results) printf(" %d x%d", kv.first, kv.second);
    printf("  (1 updated, 0 failed, 13 programming refused, 14 transfer, 15 mode switch)\n");
    printf("time: %.1f s, %.2f s an update\n", seconds, seconds / (updates > 0 ? updates : 1));
    printf("descriptors: %d at the start, %d at the end\n", start.descriptors, end.descriptors);
    printf("threads:     %d at the start, %d at the end\n", start.threads, end.threads);
    printf("resident:    %ld KiB at the start, %ld KiB at the end (%+ld KiB)\n", start.rssKiB,
           end.rssKiB, end.rssKiB - start.rssKiB);
    const bool ok = start.descriptors == end.descriptors && start.threads == end.threads &&
                    end.rssKiB - start.rssKiB < 1024 && results.count(-1) == 0;
    printf("%s\n", ok ? "soak: steady" : "soak: NOT steady");
    return ok ? 0 : 1;
}
