// The seam walk: a whole station update (the station's job thread, the port walk, the job, the
// update's record in an SQLite history, a log file per modem) against one simulated modem,
// once for every failure point of every fault seam (src/platform/fault.h): the seam's first
// call fails, then its second, ... until an update passes without the armed call coming.
//
//   test_seamwalk [--jobs N] [--stride K] [--only SEAM] [--keep]
//
// Each run must end with a defined result (the station's outcome for the modem, its host
// result one of the contract's codes; or the folder refused, or no modem seen when the port
// walk failed, both of which a host reports), no crash and no hang, and every port, file, thread
// and handle closed: the process's descriptors and threads back to what they were before the
// update, every port context closed. Runs happen in child processes, --jobs at a time (8 by
// default), since the engine's port contexts, the clock's scale and the device tree's
// environment are process-wide. --stride K walks every K-th failure point (1, 1+K, ...) and the
// last ones. Prints, per seam, the failure points walked with what each ended as.
//
// Exit status: 0 when every run ended well, 1 otherwise.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/archive_writer.h"
#include "engine/port_context.h"
#include "history/history_store.h"
#include "history/station_recorder.h"
#include "modem_sim.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "platform/fault.h"
#include "report/job_observer.h"
#include "station/station.h"

namespace {

const double kScale = 500;  // the pauses: 20 s after a mode command lasts 40 ms; AT time-outs 10 s
const int kPayloadSize = 3000;         // one data frame per archive
const int64_t kRunLimitUs = 60000000;  // a run that takes longer than a real minute hangs

struct Archive {
    const char* name;
    uint32_t id;
};
const Archive kArchives[] = {{"nocd.iso.wrapped", 6}, {"productConfig.bin", 5}};

// ---- one run ------------------------------------------------------------------------------

int countDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;
}

int countThreads() {
    FILE* s = fopen("/proc/self/status", "r");
    if (s == nullptr) return -1;
    char line[256];
    int n = -1;
    while (fgets(line, sizeof line, s))
        if (strncmp(line, "Threads:", 8) == 0) n = atoi(line + 8);
    fclose(s);
    return n;
}

bool writeArchive(const std::string& path, uint32_t id) {
    std::vector<uint8_t> payload(kPayloadSize);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>((i * 131 + id * 7) >> 1);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    ArchiveLayout layout;
    layout.archiveIdWord = id;
    CMemoryPayload source(payload.data(), payload.size());
    std::string why;
    int r = archive_Write(f, layout, kPayloadSize, source, &why);
    fclose(f);
    return r == 1;
}

// What a run ended as, besides a host result: the folder refused (the host says why and
// touches no modem), or no modem seen (the port walk failed: the host says none was found).
const int kFolderRefused = -1;
const int kNoModemSeen = -2;

// Runs the clock fast while the engine waits for an answer that is slow to come (the modem
// mid-frame takes commands for data): those waits are whole AT time-outs, which at the pause
// scale would cost most of the walk's time.
class ClockGovernor : public IJobObserver {
  public:
    void OnPhase(int, JobPhase, int) override {}
    void OnWait(int, const WaitNotice& notice) override {
        clk_SetScale(notice.kind == WAIT_ANSWER ? kAnswerScale : kScale);
    }
    static constexpr double kAnswerScale = 20000;
};

struct Outcome {
    int downloadResult = -100;  // the station's host result for the modem, or one of the above
    int jobResult = -100;
    bool fired = false;                    // the armed call came
    int64_t calls[FAULT_SEAM_COUNT] = {};  // every seam's calls during the update
    int fdsBefore = 0, fdsAfter = 0;
    int threadsBefore = 0, threadsAfter = 0;
    bool portsClosed = true;
    std::string why;  // what went wrong; empty when the run ended well
};

bool definedResult(int r) {
    return r == kFolderRefused || r == kNoModemSeen || r == DOWNLOAD_OK || r == DOWNLOAD_FAILED ||
           r == DOWNLOAD_PROGRAM_FAILED || r == DOWNLOAD_TRANSFER_FAILED ||
           r == DOWNLOAD_MODE_FAILED;
}

// One update with the seam's n-th call failing (n 0: none).
Outcome runUpdate(int seam, int64_t n, const std::string& dir, const std::string& firmware) {
    Outcome o;
    mkdir(dir.c_str(), 0755);
    const std::string dev = dir + "/dev", sys = dir + "/sys", logs = dir + "/logs";
    mkdir(dev.c_str(), 0755);
    mkdir(sys.c_str(), 0755);
    mkdir(logs.c_str(), 0755);
    setenv("MODEMFLASH_DEV_ROOT", dev.c_str(), 1);
    setenv("MODEMFLASH_SYSFS_ROOT", sys.c_str(), 1);
    setenv("MODEMFLASH_LOCK_ROOT", (dir + "/locks").c_str(), 1);
    if (chdir(dir.c_str()) != 0) {
        o.why = "cannot enter " + dir;
        return o;
    }
    clk_SetScale(kScale);
    ClockGovernor governor;
    report_SetObserver(&governor);
    // The engine's lines go to a file of the run, not between the walk's lines.
    int logFd = open((dir + "/engine.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(logFd, 1);
    dup2(logFd, 2);
    close(logFd);

    // The thread sanitizer starts a thread of its own at the process's first thread start: one
    // thread started and joined before the baseline leaves it counted there, not as the update's.
    // That thread, just joined, may stay listed for a moment while the kernel reaps it: the
    // baseline is the count once it has held still for 10 ms.
    std::thread([] {}).join();
    o.fdsBefore = countDescriptors();
    o.threadsBefore = countThreads();
    for (int i = 0, steady = 0; i < 100 && steady < 5; ++i) {
        usleep(2000);
        int now = countThreads();
        steady = now == o.threadsBefore ? steady + 1 : 0;
        o.threadsBefore = now;
    }
    {
        modemsim::ModemSim sim;
        modemsim::SimOptions opt;
        opt.devRoot = dev;
        opt.sysfsRoot = sys;
        opt.republishDelayMs = 3000;
        std::string why;
        if (!sim.start(opt, &why)) {
            o.why = "modem did not start: " + why;
            return o;
        }
        // Armed from the opening of the history on: the store, the folder's reading, the
        // station and its job are all the update's.
        for (int s = 0; s < FAULT_SEAM_COUNT; ++s) fault_Arm(s, s == seam ? n : 0);
        {
            std::string notice, error;
            std::unique_ptr<IHistoryStore> store =
                history_OpenStore(dir + "/history.sqlite3", &notice, &error);
            CStationRecorder recorder(
                store.get(), nullptr, [](const std::string&) {}, "walk", logs);
            recorder.SetFirmware(firmware);
            CStation station;
            if (!station.SetFirmwareFolder(firmware.c_str())) o.downloadResult = kFolderRefused;
            station.SetListener(&recorder);
            station.SetLogDirectory(logs.c_str());
            station.SetConsoleLog(false);
            std::vector<StationOutcome> outcomes;
            if (o.downloadResult != kFolderRefused) outcomes = station.RunOnce({});
            o.fired = fault_Fired(seam) != 0;
            for (int s = 0; s < FAULT_SEAM_COUNT; ++s) o.calls[s] = fault_Calls(s);
            fault_Arm(seam, 0);
            if (outcomes.size() == 1) {
                o.downloadResult = outcomes[0].result.downloadResult;
                o.jobResult = outcomes[0].result.jobResult;
            } else if (outcomes.empty() && o.downloadResult != kFolderRefused) {
                o.downloadResult = kNoModemSeen;
            } else if (!outcomes.empty()) {
                o.why = std::to_string(outcomes.size()) + " outcomes for one modem";
            }
        }
        sim.stop();
    }
    for (int i = 0; i < PORT_CONTEXT_COUNT; ++i)
        o.portsClosed = o.portsClosed && !ctx_Get(i)->isOpen;
    report_SetObserver(nullptr);
    o.fdsAfter = countDescriptors();
    // A thread just joined may stay listed for a moment while the kernel reaps it: the count
    // is given up to 200 ms to come back; one that stays is a thread left running.
    o.threadsAfter = countThreads();
    for (int i = 0; i < 100 && o.threadsAfter != o.threadsBefore; ++i) {
        usleep(2000);
        o.threadsAfter = countThreads();
    }
    if (chdir("/") != 0) {
    }

    std::vector<std::string> why;
    if (!o.why.empty()) why.push_back(o.why);
    if (o.why.empty() && !definedResult(o.downloadResult))
        why.push_back("result " + std::to_string(o.downloadResult) + " is none of the contract's");
    if (n == 0 && o.downloadResult != DOWNLOAD_OK)
        why.push_back("the update without a fault failed");
    if (!o.portsClosed) why.push_back("a port left open");
    if (o.fdsAfter != o.fdsBefore)
        why.push_back("descriptors " + std::to_string(o.fdsBefore) + " -> " +
                      std::to_string(o.fdsAfter));
    if (o.threadsAfter != o.threadsBefore)
        why.push_back("threads " + std::to_string(o.threadsBefore) + " -> " +
                      std::to_string(o.threadsAfter));
    o.why.clear();
    for (const std::string& w : why) o.why += (o.why.empty() ? "" : "; ") + w;
    return o;
}

// ---- runs in child processes --------------------------------------------------------------

std::string encode(const Outcome& o) {
    std::ostringstream out;
    out << o.downloadResult << "\n" << o.jobResult << "\n" << o.fired << "\n";
    for (int64_t c : o.calls) out << c << " ";
    out << "\n"
        << o.fdsBefore << " " << o.fdsAfter << " " << o.threadsBefore << " " << o.threadsAfter
        << "\n"
        << o.portsClosed << "\n"
        << o.why << "\n";
    return out.str();
}

bool decode(const std::string& text, Outcome* o) {
    std::istringstream in(text);
    in >> o->downloadResult >> o->jobResult >> o->fired;
    for (int64_t& c : o->calls) in >> c;
    in >> o->fdsBefore >> o->fdsAfter >> o->threadsBefore >> o->threadsAfter >> o->portsClosed;
    in.ignore(1);
    return static_cast<bool>(std::getline(in, o->why));
}

struct Run {
    int seam;
    int64_t n;
};

struct Child {
    Run run;
    pid_t pid;
    int fd;
    int64_t startedUs;
    std::string text;
};

// Runs each of runs in a child process, `jobs` at a time; the outcomes in the same order.
bool g_keep = false;  // --keep: each run's folder (engine log, log files, history) stays

std::vector<Outcome> runAll(const std::vector<Run>& runs, const std::string& root,
                            const std::string& firmware, int jobs) {
    std::vector<Outcome> done(runs.size());
    std::vector<Child> running;
    std::vector<size_t> index;
    size_t next = 0;
    while (next < runs.size() || !running.empty()) {
        while (next < runs.size() && static_cast<int>(running.size()) < jobs) {
            const size_t i = next++;
            int fds[2];
            if (pipe(fds) != 0) {
                done[i].why = "no pipe";
                continue;
            }
            fflush(stdout);
            fflush(stderr);
            pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                for (const Child& c : running) close(c.fd);
                std::string dir =
                    root + "/" + fault_SeamName(runs[i].seam) + "-" + std::to_string(runs[i].n);
                std::string text = encode(runUpdate(runs[i].seam, runs[i].n, dir, firmware));
                if (!g_keep) {
                    std::error_code ec;
                    std::filesystem::remove_all(dir, ec);
                }
                const char* p = text.data();
                size_t left = text.size();
                while (left > 0) {
                    ssize_t w = write(fds[1], p, left);
                    if (w <= 0) break;
                    p += w;
                    left -= static_cast<size_t>(w);
                }
                _exit(0);
            }
            close(fds[1]);
            if (pid < 0) {
                close(fds[0]);
                done[i].why = "no child process";
                continue;
            }
            running.push_back({runs[i], pid, fds[0], clk_RealNowUs(), {}});
            index.push_back(i);
        }
        std::vector<pollfd> polls;
        for (const Child& c : running) polls.push_back({c.fd, POLLIN, 0});
        poll(polls.data(), polls.size(), 500);
        for (size_t k = running.size(); k-- > 0;) {
            Child& c = running[k];
            bool hung = clk_RealNowUs() - c.startedUs > kRunLimitUs;
            if (polls[k].revents == 0 && !hung) continue;
            if (!hung) {
                char buf[4096];
                ssize_t r = read(c.fd, buf, sizeof buf);
                if (r > 0) {
                    c.text.append(buf, static_cast<size_t>(r));
                    continue;
                }
            } else {
                kill(c.pid, SIGKILL);
            }
            close(c.fd);
            int status = 0;
            waitpid(c.pid, &status, 0);
            Outcome o;
            if (hung) {
                o.why = "hung: no result within a real minute";
            } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !decode(c.text, &o)) {
                o = Outcome();
                o.why = WIFSIGNALED(status)
                            ? "crashed (signal " + std::to_string(WTERMSIG(status)) + ")"
                            : "ended without an outcome (status " + std::to_string(status) + ")";
            }
            done[index[k]] = o;
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(k));
            index.erase(index.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
    return done;
}

std::string resultText(const Outcome& o) {
    if (!o.why.empty()) return "FAIL: " + o.why;
    if (o.downloadResult == kFolderRefused) return "refused";
    if (o.downloadResult == kNoModemSeen) return "none";
    return std::to_string(o.downloadResult);
}

}  // namespace

int main(int argc, char** argv) {
    int jobs = 8;  // the runs mostly wait (the engine's pauses and time-outs), not compute
    int64_t stride = 1;
    bool keep = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--jobs" && i + 1 < argc && atoi(argv[i + 1]) > 0) {
            jobs = atoi(argv[++i]);
        } else if (a == "--stride" && i + 1 < argc && atoll(argv[i + 1]) > 0) {
            stride = atoll(argv[++i]);
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--keep") {
            keep = true;
            g_keep = true;
        } else {
            fprintf(stderr, "usage: %s [--jobs N] [--stride K] [--only SEAM] [--keep]\n", argv[0]);
            return 2;
        }
    }
    char tmpl[] = "/tmp/mfseams.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string root = tmpl, firmware = root + "/firmware";
    mkdir(firmware.c_str(), 0755);
    for (const Archive& a : kArchives)
        if (!writeArchive(firmware + "/" + a.name, a.id)) return 1;
    FILE* ini = fopen((firmware + "/update_config.ini").c_str(), "wb");
    if (ini == nullptr) return 1;
    fputs("[update flag]\r\nupdate_cat=8;9\r\n", ini);
    fclose(ini);
    const int64_t realStart = clk_RealNowUs();

    // An update without a fault, which counts every seam's calls, sets how far each walk goes
    // at first; a walk goes on past it until a run passes without its armed call coming.
    std::vector<Outcome> clean = runAll({{FAULT_SEAM_SERIAL, 0}}, root, firmware, 1);
    if (!clean[0].why.empty()) {
        printf("the update without a fault: %s\n", clean[0].why.c_str());
        return 1;
    }
    printf("a clean update's calls:");
    for (int seam = 0; seam < FAULT_SEAM_COUNT; ++seam)
        printf(" %s %lld", fault_SeamName(seam), static_cast<long long>(clean[0].calls[seam]));
    printf(" (%.1f s real)\n", static_cast<double>(clk_RealNowUs() - realStart) / 1e6);
    fflush(stdout);
    int failing = 0, walked = 0;
    for (int seam = 0; seam < FAULT_SEAM_COUNT; ++seam) {
        if (!only.empty() && only != fault_SeamName(seam)) continue;
        std::map<int64_t, Outcome> seen;
        const int64_t seamStart = clk_RealNowUs();
        int64_t from = 1;
        int64_t batch = 4 * jobs;
        bool passed = false;
        while (!passed) {
            std::vector<Run> runs;
            for (int64_t n = from; static_cast<int64_t>(runs.size()) < batch; n += stride)
                runs.push_back({seam, n});
            std::vector<Outcome> out = runAll(runs, root, firmware, jobs);
            for (size_t i = 0; i < runs.size(); ++i) {
                seen[runs[i].n] = out[i];
                if (out[i].why.empty() && !out[i].fired) passed = true;
            }
            from = runs.back().n + stride;
            // With a stride, the last points before the end are walked one by one.
            if (passed && stride > 1) {
                int64_t last = 0;
                for (const auto& [n, o] : seen)
                    if (o.fired) last = n;
                std::vector<Run> tail;
                for (int64_t n = last + 1; n < last + stride; ++n)
                    if (seen.count(n) == 0) tail.push_back({seam, n});
                std::vector<Outcome> t = runAll(tail, root, firmware, jobs);
                for (size_t i = 0; i < tail.size(); ++i) seen[tail[i].n] = t[i];
            }
        }
        // The walk's line: every failure point and what it ended as, runs of one result folded.
        int bad = 0;
        int64_t points = 0;
        std::string line;
        std::string lastText;
        int64_t runFrom = -1, runTo = -1;
        auto flush = [&] {
            if (runFrom < 0) return;
            if (!line.empty()) line += ", ";
            line += runFrom == runTo ? std::to_string(runFrom)
                                     : std::to_string(runFrom) + "-" + std::to_string(runTo);
            line += ":" + lastText;
        };
        for (const auto& [n, o] : seen) {
            if (!o.fired && o.why.empty()) continue;  // past the seam's last call
            ++points;
            if (!o.why.empty()) ++bad;
            std::string text = resultText(o);
            if (text == lastText && runTo >= 0 && n == runTo + stride) {
                runTo = n;
                continue;
            }
            flush();
            runFrom = runTo = n;
            lastText = text;
        }
        flush();
        printf("%-10s %4lld failure points walked (%lld calls in a clean update, %.1f s): %s\n",
               fault_SeamName(seam), static_cast<long long>(points),
               static_cast<long long>(clean[0].calls[seam]),
               static_cast<double>(clk_RealNowUs() - seamStart) / 1e6, line.c_str());
        fflush(stdout);
        walked += static_cast<int>(points);
        failing += bad;
    }
    printf("\n%d failure points walked, %d failing (%.1f s real)\n", walked, failing,
           static_cast<double>(clk_RealNowUs() - realStart) / 1e6);
    if (keep) {
        printf("work folder kept: %s\n", root.c_str());
    } else {
        std::string cmd = "rm -rf '" + root + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    return failing == 0 ? 0 : 1;
}
