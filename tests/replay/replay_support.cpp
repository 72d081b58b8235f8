#include "replay_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "engine/archive_writer.h"
#include "host/downloader.h"
#include "modem_sim.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "recorder/session_recorder.h"
#include "replay_script.h"
#include "report/notify.h"
#include "session/session_format.h"
#include "session/session_reader.h"

using session::Json;

namespace replaytest {

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const double kSearchScale = 20;  // the port search: its probes are judged after 500 ms
#else
const double kSearchScale = 50;
#endif
#if defined(__SANITIZE_THREAD__)
// The thread sanitizer slows every thread several times over: the modem's drop and return
// after a mode command must still fit the host's 36 s of reopen attempts in real time.
const double kScale = 50;
#else
const double kScale = 200;
#endif
const double kWithholdScale = 20000;

class JobSink : public IDownloadSink {
  public:
    std::atomic<bool> inJob{false};
    void OnEvent(DownloadEvent*) override { inJob = true; }
};

// The clock runs fast while the modem withholds every answer (the engine's long time-outs),
// once the job has started; before, slower: the port search judges its probes by what came
// within 500 ms, which a loaded machine must not turn into a missed answer.
class Governor {
  public:
    Governor(const modemsim::ModemSim& sim, const JobSink& sink)
        : sim_(sim), sink_(sink), thread_([this] { run(); }) {}
    ~Governor() {
        stop_ = true;
        thread_.join();
        clk_SetScale(kScale);
    }

  private:
    void run() {
        double current = kSearchScale;
        while (!stop_) {
            double want = !sink_.inJob         ? kSearchScale
                          : sim_.withholding() ? kWithholdScale
                                               : kScale;
            if (want != current) clk_SetScale(current = want);
            usleep(1000);
        }
    }
    const modemsim::ModemSim& sim_;
    const JobSink& sink_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string runHere(const Run& run) {
    Json out;
    const std::string dev = run.dir + "/dev", sys = run.dir + "/sys";
    mkdir(run.dir.c_str(), 0755);
    mkdir(dev.c_str(), 0755);
    mkdir(sys.c_str(), 0755);
    setenv("MODEMFLASH_DEV_ROOT", dev.c_str(), 1);
    setenv("MODEMFLASH_SYSFS_ROOT", sys.c_str(), 1);
    if (chdir(run.dir.c_str()) != 0) return "{}";
    clk_SetScale(kSearchScale);
    modemsim::ModemSim sim;
    modemsim::SimOptions o;
    o.devRoot = dev;
    o.sysfsRoot = sys;
    o.scenario = run.scenario;
    o.replayPath = run.replay;
    o.replayStrict = run.strict;
    o.transcriptPath = run.dir + "/modem.transcript";
    std::string why;
    if (!sim.start(o, &why)) {
        out["why"] = "the modem did not start: " + why;
        return out.dump();
    }
    SessionRecorder recorder;
    RecorderOptions ro;
    ro.path = run.record;
    ro.program = "test_replay";
    ro.command = "flash";
    if (!recorder.open(ro, &why)) {
        out["why"] = why;
        return out.dump();
    }
    recorder_Install(nullptr);
    recorder_Bind(&recorder);
    JobSink sink;
    int32_t result = -1;
    {
        // The engine's lines go to the run's log, not between the tests' lines.
        fflush(stdout);
        fflush(stderr);
        int logFd = open((run.dir + "/engine.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(logFd, 1);
        dup2(logFd, 2);
        close(logFd);
        Governor governor(sim, sink);
        CDownloader downloader;
        if (downloader.SetFirmwareFolder(run.firmware.c_str()) && downloader.SetSink(&sink))
            downloader.Download(&result, 0);
        sink_Set(nullptr);
        sink.inJob = false;
    }
    recorder_Bind(nullptr);
    Json r;
    r["code"] = result;
    recorder.add("result", r);
    recorder.close(false);
    sim.stop();
    out["ran"] = true;
    out["result"] = result;
    out["mode"] = sim.mode();
    out["autorun"] = sim.autorun();
    out["report"] = sim.reportJson();
    return out.dump();
}

}  // namespace

bool writeFirmware(const std::string& folder) {
    mkdir(folder.c_str(), 0755);
    const struct {
        const char* name;
        uint32_t id;
    } archives[] = {{"nocd.iso.wrapped", 6}, {"productConfig.bin", 5}};
    for (const auto& a : archives) {
        std::vector<uint8_t> payload(40000);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<uint8_t>((i * 131 + a.id * 7) >> 1);
        FILE* f = fopen((folder + "/" + a.name).c_str(), "wb");
        if (f == nullptr) return false;
        ArchiveLayout layout;
        layout.archiveIdWord = a.id;
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

Outcome runUpdate(const Run& run) {
    Outcome o;
    int fds[2];
    if (pipe(fds) != 0) {
        o.why = "no pipe";
        return o;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string text = runHere(run);
        const char* p = text.data();
        size_t left = text.size();
        while (left > 0) {
            ssize_t n = write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Json j = Json::parse(text, nullptr, false);
    if (!j.is_object()) {
        o.why =
            "the run's process ended without an outcome (status " + std::to_string(status) + ")";
        return o;
    }
    if (j.contains("why")) o.why = j["why"].get<std::string>();
    o.ran = j.value("ran", false);
    o.result = j.value("result", -1);
    o.mode = j.value("mode", -1);
    o.autorun = j.value("autorun", -1);
    o.report = j.value("report", std::string());
    Json report = Json::parse(o.report, nullptr, false);
    if (report.is_object() && report.contains("flash"))
        for (const Json& f : report["flash"])
            o.flash[f.value("id", 0u)] = f.value("sha256", std::string());
    // The host's command lines, from its own session.
    session::Session s;
    session::SessionProblem p;
    session::ReadOptions ro;
    ro.allowPartial = true;
    if (session::readSession(run.record, ro, &s, &p)) {
        modemsim::ReplayScript script;
        std::string why;
        if (modemsim::replay_BuildScript(s, &script, &why)) o.commands = script.commands;
    }
    return o;
}

}  // namespace replaytest
