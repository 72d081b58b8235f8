// A whole 7-file sample update against the simulated modem over a pty, at time scale 100.
//
// Prints the total time, the part the library's mandated pauses account for (the time its
// clock spent sleeping), the transfer's MiB/s (from the start of each archive's transfer to
// its programming command), the time the modem takes to program (the simulated modem's own
// work, answered by AT%PROG), and the overhead beyond these (target < 2 %). Then what the
// command-line host's record of such an update costs (target < 1 % of the update): the
// firmware's description (SHA-256 of every file, once per folder) and the store's writes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "history/update_recorder.h"
#include "host/downloader.h"
#include "modem_sim.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "report/job_observer.h"

namespace {

// Times the update's steps as the job declares them (the observer), and feeds the update's
// record as the command-line host does, timing what that costs the update's thread.
class Timing : public IJobObserver {
  public:
    explicit Timing(CUpdateRecorder* r) : recorder_(r) {}
    int64_t transferUs = 0;     // from the start of each file's step to its programming
    int64_t programmingUs = 0;  // from its programming to its end: the modem's own work
    int64_t recordUs = 0;

    void OnPhase(int, JobPhase phase, int) override {
        int64_t now = clk_RealNowUs();
        if (getenv("BENCH_TRACE"))
            fprintf(stderr, "%8.3f %s\n", now / 1e6, report_PhaseName(phase));
        if (phase == JOB_SENDING) fileStartUs_ = now;
        if (phase == JOB_PROGRAMMING && fileStartUs_) {
            transferUs += now - fileStartUs_;
            fileStartUs_ = 0;
            programStartUs_ = now;
        }
    }
    void OnFileStart(int port, int fileIndex, int fileCount, const char* path) override {
        int64_t start = clk_RealNowUs();
        recorder_->OnFileStart(port, fileIndex, fileCount, path);
        recordUs += clk_RealNowUs() - start;
    }
    void OnFileEnd(int port, int fileIndex, bool programmed) override {
        int64_t now = clk_RealNowUs();
        if (programStartUs_) programmingUs += now - programStartUs_;
        programStartUs_ = 0;
        recorder_->OnFileEnd(port, fileIndex, programmed);
        recordUs += clk_RealNowUs() - now;
    }

  private:
    CUpdateRecorder* recorder_;
    int64_t fileStartUs_ = 0;
    int64_t programStartUs_ = 0;
};

long long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

}  // namespace

int main() {
    const double scale = 100;
    char tmpl[] = "/tmp/mfupdate.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string root = tmpl;
    std::string firmware = root + "/firmware";
    std::string cmd = std::string(MODEMFLASH_CLI_PATH) + " sample " + firmware + " > /dev/null";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "cannot write the sample firmware with %s\n", MODEMFLASH_CLI_PATH);
        return 1;
    }
    long long bytes = 0;
    for (const char* name :
         {"loader.wrapped", "secondary_boot.wrapped", "factory_tests.wrapped", "modem.wrapped",
          "mass_storage.wrapped", "nocd.iso.wrapped", "productConfig.bin"})
        bytes += fileSize(firmware + "/" + name);

    mkdir((root + "/dev").c_str(), 0755);
    mkdir((root + "/sys").c_str(), 0755);
    setenv("MODEMFLASH_DEV_ROOT", (root + "/dev").c_str(), 1);
    setenv("MODEMFLASH_SYSFS_ROOT", (root + "/sys").c_str(), 1);
    clk_SetScale(scale);

    modemsim::SimOptions o;
    o.devRoot = root + "/dev";
    o.sysfsRoot = root + "/sys";
    o.republishDelayMs = 0;  // the modem comes back at once: every wait is the library's
    modemsim::ModemSim sim;
    std::string why;
    if (!sim.start(o, &why)) {
        fprintf(stderr, "modemsim: %s\n", why.c_str());
        return 1;
    }

    CDownloader downloader;
    if (!downloader.SetFirmwareFolder(firmware.c_str())) return 1;

    // The update is recorded as the command-line host records it.
    std::vector<std::string> paths;
    for (const char* name :
         {"loader.wrapped", "secondary_boot.wrapped", "factory_tests.wrapped", "modem.wrapped",
          "mass_storage.wrapped", "nocd.iso.wrapped", "productConfig.bin"})
        paths.push_back(firmware + "/" + name);
    std::string notice, error;
    std::unique_ptr<IHistoryStore> store =
        history_OpenStore(root + "/history.sqlite3", &notice, &error);
    if (!store) fprintf(stderr, "history: %s\n", error.c_str());
    int64_t start = clk_RealNowUs();
    int64_t recordUs = 0;
    CFirmwareFiles described(paths);
    CUpdateRecorder recorder(store.get(),
                             [](const std::string& w) { fprintf(stderr, "%s\n", w.c_str()); });
    Timing timing(&recorder);
    report_SetObserver(&timing);
    HistoryUpdate begin;
    begin.folder = firmware;
    recorder.Begin(begin, &described);
    recordUs += clk_RealNowUs() - start;

    int64_t slept0 = clk_SleptMs();
    int32_t result = 0;
    downloader.Download(&result, 0);
    int64_t finishStart = clk_RealNowUs();
    HistoryUpdate end;
    end.resultCode = result;
    recorder.Finish(end);
    recordUs += clk_RealNowUs() - finishStart + timing.recordUs;
    int64_t totalUs = clk_RealNowUs() - start;
    double pausesUs = static_cast<double>(clk_SleptMs() - slept0) / scale * 1000.0;
    report_SetObserver(nullptr);
    sim.stop();

    double total = totalUs / 1e6, pauses = pausesUs / 1e6, transfer = timing.transferUs / 1e6;
    double programming = timing.programmingUs / 1e6;
    double overhead = total - pauses - transfer - programming;
    printf("result: %d (%s)\n", result, result == 1 ? "ok" : "FAILED");
    printf("firmware: 7 files, %.1f MiB\n", bytes / 1048576.0);
    printf("total:     %8.3f s (time scale %.0f)\n", total, scale);
    printf("pauses:    %8.3f s  %5.1f %%  (the library's waits, scaled)\n", pauses,
           100 * pauses / total);
    printf("transfer:  %8.3f s  %5.1f %%  %.1f MiB/s\n", transfer, 100 * transfer / total,
           transfer > 0 ? bytes / 1048576.0 / transfer : 0.0);
    printf("modem:     %8.3f s  %5.1f %%  (the simulated modem programming its flash)\n",
           programming, 100 * programming / total);
    printf("overhead:  %8.3f s  %5.1f %%  (target < 2 %%)\n", overhead, 100 * overhead / total);
    int64_t hashStart = clk_RealNowUs();
    history_DescribeFiles(paths);
    double hashMs = (clk_RealNowUs() - hashStart) / 1000.0;
    printf("recording: %8.3f s  %5.2f %%  (the history, on the update's thread; target < 1 %%)\n",
           recordUs / 1e6, 100 * recordUs / 1e6 / total);
    printf("           hashing the firmware (SHA-256, %.1f ms) runs on a helper thread meanwhile\n",
           hashMs);
    cmd = "rm -rf " + root;
    if (system(cmd.c_str()) != 0) return 1;
    return result == 1 ? 0 : 1;
}
