// The station with 1, 4 and 16 simulated modems, the sample firmware, one run each at the same
// time scale: `modemflash flash FOLDER --all` as a child process against `modemsim --modems N`
// (another process, so that its flash stores do not count).
//
// Prints each run's wall time and its ratio to one modem (target: 16 modems at most 1.3 x one),
// the flasher's CPU seconds per modem, and its peak resident memory (target: under 32 MiB for
// 16 modems), and what recording each update in the history costs (target: under 1 % of an
// update at scale 100).
//
// Then the 16 modems once more under `modemflash serve` with 32 event clients reading its
// event stream (this process, one thread each): the wall time from the program's start to the
// last modem's finish as the clients see it (target: within 2 % of the run without the
// server), and the delay from each event in the station to its arrival at a client, median
// and 99th percentile (target: p99 under 100 ms).
//
// Each simulated modem takes data at a line rate, as a real one does over its USB link
// (BENCH_LINE_RATE bytes per second, default 1 MiB/s; 0 for none). Without one, the modems
// take data as fast as the ptys carry it, and 16 modems' 700 MiB make the run measure how fast
// this machine copies through ptys, not how well the station runs its modems side by side.
// BENCH_SCALE (default 2) sets the time scale; with the line rate it also speeds the line, so
// 16 modems need 16 x scale x rate of real pty throughput. BENCH_SMALL=1 uses the small sample.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/history_store.h"
#include "history/update_recorder.h"
#include "platform/clock.h"
#include "platform/thread.h"

extern char** environ;

namespace {

pid_t spawn(const std::string& command) {
    pid_t pid = -1;
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    return pid;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

struct Run {
    int modems = 0;
    int status = -1;
    double wall = 0;
    double cpu = 0;
    double peakMiB = 0;
};

Run runOnce(const std::string& root, const std::string& firmware, int modems, double scale,
            long lineRate) {
    Run r;
    r.modems = modems;
    std::string dir = root + "/run" + std::to_string(modems);
    std::string mk = "mkdir -p " + dir + "/dev " + dir + "/sys";
    if (system(mk.c_str()) != 0) return r;
    std::string env = "MODEMFLASH_DEV_ROOT=" + dir + "/dev MODEMFLASH_SYSFS_ROOT=" + dir + "/sys ";
    char scaleText[32];
    snprintf(scaleText, sizeof scaleText, "%g", scale);
    std::string ready = dir + "/ready";
    pid_t sim = spawn(env + "exec " MODEMSIM_PATH " --modems " + std::to_string(modems) +
                      " --time-scale " + scaleText + " --line-rate " + std::to_string(lineRate) +
                      " --republish-delay-ms 0 --ready-file " + ready + " 2> " + dir + "/sim.err");
    for (int i = 0; i < 1000 && !exists(ready); ++i) usleep(10000);
    if (!exists(ready)) {
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
        return r;
    }
    int64_t start = clk_RealNowUs();
    pid_t flasher = spawn(env + "exec " MODEMFLASH_CLI_PATH " flash " + firmware +
                          " --all --json --time-scale " + scaleText + " --history " + dir +
                          "/history.sqlite3 > " + dir + "/flash.out 2>&1");
    int status = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    wait4(flasher, &status, 0, &usage);
    r.wall = (clk_RealNowUs() - start) / 1e6;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
            usage.ru_stime.tv_usec / 1e6;
    r.peakMiB = usage.ru_maxrss / 1024.0;  // kilobytes on Linux
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    return r;
}

// One reader of the event stream: it connects, asks for everything from the first event
// (Last-Event-ID: 0) and notes, for each event that happened after it had connected, how long
// the event took from the station (its "mono_us", the same steady clock as ours) to here.
struct EventClient {
    int port = 0;
    std::atomic<int> finishes{0};
    std::atomic<bool> stop{false};
    bool connected = false;
    std::vector<double> delaysMs;

    void run() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            if (fd >= 0) close(fd);
            return;
        }
        int64_t since = clk_RealNowUs();
        std::string request =
            "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nLast-Event-ID: 0\r\n\r\n";
        connected = send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0;
        std::string buf;
        char chunk[65536];
        while (connected && !stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            int64_t now = clk_RealNowUs();
            buf.append(chunk, static_cast<size_t>(n));
            size_t line;
            while ((line = buf.find('\n')) != std::string::npos) {
                std::string l = buf.substr(0, line);
                buf.erase(0, line + 1);
                size_t at = l.find("\"mono_us\":");
                if (l.compare(0, 6, "data: ") != 0 || at == std::string::npos) continue;
                long long sent = atoll(l.c_str() + at + 10);
                if (sent >= since) delaysMs.push_back((now - sent) / 1000.0);
                if (l.find("\"type\":\"finish\"") != std::string::npos) ++finishes;
            }
        }
        close(fd);
    }
};

struct ServedRun {
    double wall = 0;
    int status = -1;
    size_t events = 0;
    double medianMs = 0, p99Ms = 0;
};

// The modems of runOnce under `modemflash serve`, with `clients` readers of its event stream.
ServedRun servedRun(const std::string& root, const std::string& firmware, int modems, double scale,
                    long lineRate, int clients) {
    ServedRun r;
    std::string dir = root + "/served" + std::to_string(modems);
    std::string mk = "mkdir -p " + dir + "/dev " + dir + "/sys";
    if (system(mk.c_str()) != 0) return r;
    std::string env = "MODEMFLASH_DEV_ROOT=" + dir + "/dev MODEMFLASH_SYSFS_ROOT=" + dir + "/sys ";
    char scaleText[32];
    snprintf(scaleText, sizeof scaleText, "%g", scale);
    std::string ready = dir + "/ready";
    pid_t sim = spawn(env + "exec " MODEMSIM_PATH " --modems " + std::to_string(modems) +
                      " --time-scale " + scaleText + " --line-rate " + std::to_string(lineRate) +
                      " --republish-delay-ms 0 --ready-file " + ready + " 2> " + dir + "/sim.err");
    for (int i = 0; i < 1000 && !exists(ready); ++i) usleep(10000);
    std::string out = dir + "/serve.out";
    int64_t start = clk_RealNowUs();
    pid_t serve = spawn(env + "exec " MODEMFLASH_CLI_PATH " serve " + firmware +
                        " --listen 127.0.0.1:0 --json --time-scale " + scaleText + " --history " +
                        dir + "/history.sqlite3 > " + out + " 2>&1");
    int port = 0;
    for (int i = 0; i < 3000 && port == 0; ++i) {
        std::ifstream f(out);
        std::stringstream text;
        text << f.rdbuf();
        size_t at = text.str().find("dashboard: http://127.0.0.1:");
        if (at != std::string::npos) port = atoi(text.str().c_str() + at + 28);
        if (port == 0) usleep(1000);
    }
    std::vector<std::unique_ptr<EventClient>> readers;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients && port > 0; ++i) {
        readers.emplace_back(new EventClient);
        readers.back()->port = port;
        threads.emplace_back([c = readers.back().get()] { c->run(); });
    }
    // Done when the first client has seen every modem finish (10 minutes at most).
    while (port > 0 && clk_RealNowUs() - start < 600000000LL) {
        bool all = false;
        for (const auto& c : readers) all = all || c->finishes >= modems;
        if (all) break;
        usleep(1000);
    }
    r.wall = (clk_RealNowUs() - start) / 1e6;
    usleep(200000);  // the last events reach the slower clients
    for (auto& c : readers) c->stop = true;
    for (std::thread& t : threads) t.join();
    kill(serve, SIGTERM);
    int status = 0;
    waitpid(serve, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    std::vector<double> all;
    for (const auto& c : readers) {
        if (c->finishes < modems) r.status = r.status == 0 ? 1 : r.status;  // a client lost some
        all.insert(all.end(), c->delaysMs.begin(), c->delaysMs.end());
    }
    std::sort(all.begin(), all.end());
    r.events = all.size();
    if (!all.empty()) {
        r.medianMs = all[all.size() / 2];
        r.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return r;
}

// What recording costs each update, as the station's recorder does it: `jobs` updates at once,
// each on its own thread writing its record (begin, one step per file, return to modem mode,
// finish) through one store into one history, the firmware described once beforehand (on its
// helper thread, while the first modems switch to loader mode). Real milliseconds per update.
double recordingMsPerUpdate(const std::string& root, const std::string& firmware, int jobs) {
    std::string notice, error;
    std::unique_ptr<IHistoryStore> store =
        history_OpenStore(root + "/recording.sqlite3", &notice, &error);
    if (!store) {
        fprintf(stderr, "history: %s\n", error.c_str());
        return -1;
    }
    CFirmwareFiles files(history_FirmwarePaths(firmware));
    files.WaitDescribed();
    struct Job {
        IHistoryStore* store;
        const CFirmwareFiles* files;
        int index;
        int64_t spentUs;
    };
    std::vector<Job> all(static_cast<size_t>(jobs));
    std::vector<PlatformThread*> threads;
    for (int i = 0; i < jobs; ++i) {
        all[static_cast<size_t>(i)] = Job{store.get(), &files, i, 0};
        threads.push_back(thread_Start(
            [](void* arg) {
                Job* j = static_cast<Job*>(arg);
                int64_t start = clk_RealNowUs();
                CUpdateRecorder r(j->store,
                                  [](const std::string& w) { fprintf(stderr, "%s\n", w.c_str()); });
                HistoryUpdate begin;
                begin.location = "1-1." + std::to_string(j->index + 1);
                begin.serial = "SIM" + std::to_string(j->index + 1);
                r.Begin(begin, j->files);
                for (size_t k = 0; k < j->files->Count(); ++k) {
                    r.StartFile(static_cast<int>(k));
                    r.EndFile(static_cast<int>(k), true);
                }
                HistoryUpdate end;
                end.resultCode = 1;
                end.answers = {
                    {0, "AT+GMR", "SIM_1.0.0"}, {0, "AT%IFWR", "x"}, {0, "AT%ICOMPAT", "1"}};
                r.Finish(end);
                j->spentUs = clk_RealNowUs() - start;
            },
            &all[static_cast<size_t>(i)]));
    }
    for (PlatformThread* t : threads) thread_Join(t);
    int64_t total = 0;
    for (const Job& j : all) total += j.spentUs;
    return total / 1000.0 / jobs;
}

}  // namespace

int main() {
    double scale = getenv("BENCH_SCALE") ? atof(getenv("BENCH_SCALE")) : 2;
    if (!(scale >= 1)) scale = 2;
    long lineRate = getenv("BENCH_LINE_RATE") ? atol(getenv("BENCH_LINE_RATE")) : 1048576;
    if (lineRate < 0 || lineRate > 1000000000L) lineRate = 1048576;
    bool small = getenv("BENCH_SMALL") && strcmp(getenv("BENCH_SMALL"), "1") == 0;
    char tmpl[] = "/tmp/mfstation.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string root = tmpl;
    std::string firmware = root + "/firmware";
    std::string cmd = std::string(MODEMFLASH_CLI_PATH) + " sample " + firmware +
                      (small ? " --small" : "") + " > /dev/null";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "cannot write the sample firmware\n");
        return 1;
    }
    printf("station: sample firmware%s, time scale %g, line rate %s\n", small ? " (small)" : "",
           scale, lineRate > 0 ? (std::to_string(lineRate) + " bytes/s").c_str() : "none");
    std::vector<Run> runs;
    for (int n : {1, 4, 16}) {
        Run r = runOnce(root, firmware, n, scale, lineRate);
        runs.push_back(r);
        printf(
            "%2d modem(s): exit %d  wall %7.2f s  ratio %5.2f  cpu %6.2f s (%5.2f s per modem)  "
            "peak RSS %6.1f MiB\n",
            n, r.status, r.wall, runs[0].wall > 0 ? r.wall / runs[0].wall : 0.0, r.cpu, r.cpu / n,
            r.peakMiB);
        fflush(stdout);
    }
    const Run& one = runs[0];
    const Run& sixteen = runs[2];
    printf("16 modems / 1 modem: %.2f x (target <= 1.3 x): %s\n", sixteen.wall / one.wall,
           sixteen.wall <= 1.3 * one.wall ? "met" : "NOT met");
    printf("peak RSS with 16 modems: %.1f MiB (target < 32 MiB): %s\n", sixteen.peakMiB,
           sixteen.peakMiB < 32 ? "met" : "NOT met");
    // Each modem's update lasts about as long as the 16-modem run; its record costs this much.
    double recordMs = recordingMsPerUpdate(root, firmware, 16);
    double updateMs = sixteen.wall * 1000.0;
    printf(
        "recording: %.2f ms per update with 16 updates writing at once (%.3f %% of an update "
        "at time scale %g; target < 1 %% at scale 100)\n",
        recordMs, updateMs > 0 ? 100.0 * recordMs / updateMs : 0.0, scale);
    ServedRun served = servedRun(root, firmware, 16, scale, lineRate, 32);
    double within = sixteen.wall > 0 ? 100.0 * (served.wall - sixteen.wall) / sixteen.wall : 0;
    printf(
        "16 modems under serve with 32 event clients: exit %d  wall %7.2f s (%+.1f %% of the "
        "run without the server; target within 2 %%): %s\n",
        served.status, served.wall, within, within <= 2.0 ? "met" : "NOT met");
    printf(
        "event to client delay over %zu deliveries: median %.2f ms, p99 %.2f ms (target p99 < "
        "100 ms): %s\n",
        served.events, served.medianMs, served.p99Ms,
        served.events > 0 && served.p99Ms < 100 ? "met" : "NOT met");
    cmd = "rm -rf " + root;
    if (system(cmd.c_str()) != 0) return 1;
    bool ok = true;
    for (const Run& r : runs) ok = ok && r.status == 0;
    ok = ok && served.status == 0;
    return ok ? 0 : 1;
}
