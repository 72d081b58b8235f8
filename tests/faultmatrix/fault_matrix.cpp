// The fault matrix: a whole update (CDownloader: configuration, port search and probe, the
// job) against the simulated modem, once for every scripted fault at every step where it can
// strike, in one table.
//
//   test_faultmatrix [--keep] [--only TEXT] [--list] [--jobs N]
//
// Each row names the fault, the step, what the host got, the modem's final mode and autorun,
// which archives its flash holds (unchanged), the time the update took on the scaled clock, and
// whether the port and every file were closed afterwards (the process's descriptors counted
// before and after). A row fails when the result, the mode or the flash differs from what the
// update's rules give for that path, when the time exceeds the bound those rules document, when
// a descriptor is left open, or when an update is reported as a success with an archive
// missing from the flash.
//
// Time: the pauses run 200 times faster than real time; while the modem withholds every answer
// (silent, or ignoring what it got last) the clock runs 20000 times faster, so that the engine's
// long time-outs (5000 s, 30000 s while programming) cost a fraction of a second. Times in the
// table are scaled seconds, as the engine counts them. Waits that the engine bounds by a count
// of reads as well as by time (a frame's status: at least 100 empty reads of about 10 ms) last
// their real time, which the fast clock counts 20000 times over; the bounds allow for that.
// A row that fails is run once more, alone (a loaded machine can delay the simulated modem's
// thread); the table says when the second run was needed.
//
// Rows run in child processes, --jobs N at a time (4 by default): the engine's port contexts,
// the clock's scale, the device tree's environment and the working folder are process-wide, so
// each row gets a process of its own. A row spends nearly all its time waiting, not computing.
//
// Exit status: 0 when every row ends as expected, 1 otherwise. --keep leaves the work folder
// (each row's engine log, modem transcript and report) and prints its path.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/archive_writer.h"
#include "engine/port_context.h"
#include "host/downloader.h"
#include "modem_sim.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "report/notify.h"
#include "support/open_descriptors.h"

namespace {

const double kScale = 200;            // the pauses: 20 s after a mode command lasts 100 ms
const double kWithholdScale = 20000;  // while the modem withholds every answer
const int kPayloadSize = 40000;       // three data frames of 16384, 16384 and 7232 bytes

// The firmware: categories 8 and 9, two archives, sent in this order.
struct Archive {
    const char* name;
    uint32_t id;
};
const Archive kArchives[] = {{"nocd.iso.wrapped", 6}, {"productConfig.bin", 5}};

// The bounds, in scaled seconds, from the engine's documented waits.
const double kReadSlackS = 0.02 * kWithholdScale;  // a time-out is seen up to a read late
const double kAtWaitS = 5000 + kReadSlackS;        // an AT exchange without an answer
const double kProgWaitS = 30000 + kReadSlackS;     // the programming command
// A frame's status: 60 s, and at least 100 empty reads of about 10 ms of real time.
const double kStatusWaitS = 60 + 100 * 0.010 * kWithholdScale * 1.5;
const double kSwitchS = 7 * (20 + 8 * 2 + 2);  // mode switch: 7 tries of all reopen attempts
// The check that a modem that fell silent still answers: 10 s, and at least 30 empty reads of
// about 10 ms of real time.
const double kAliveWaitS = 10 + 30 * 0.010 * kWithholdScale * 1.5;
const double kBaseBoundS = 400;  // a clean update, searched and recovered: well below

enum Flash { FLASH_NONE, FLASH_FIRST, FLASH_BOTH };
const int MODE_ANY = -1;  // a modem that went away for good: its mode is not judged

struct Row {
    std::string fault;
    std::string step;
    std::string scenario;
    int result;       // the host's result code
    int mode;         // the modem's final mode, or MODE_ANY
    Flash flash;      // the archives in its flash afterwards
    int atWaits;      // AT time-outs the path may wait through (5000 s each)
    int progWaits;    // programming time-outs (30000 s each)
    int switchWaits;  // mode switches that may run all their tries and reopen attempts
    int statusWaits;  // frame statuses waited for in vain
    int aliveWaits;   // checks whether a silent modem still answers
};

// The steps a command or frame fault can strike, with the scenario's target for each.
struct Step {
    const char* name;
    const char* command;  // for command faults; null for frames
    int archive, block;   // for frame faults
};
const Step kSteps[] = {
    {"AT%MODE=1", "AT%MODE=1", 0, 0},
    {"AT%LOAD", "AT%LOAD", 0, 0},
    {"header frame", nullptr, 1, 0},
    {"first block", nullptr, 1, 1},
    {"middle block", nullptr, 1, 2},
    {"last block", nullptr, 2, 3},  // of the last archive: the first is programmed by then
    {"AT%PROG", "AT%PROG=2", 0, 0},
    {"AT%MODE=0 (recovery)", "AT%MODE=0", 0, 0},
    {"autorun check", "AT%USBMODEM?", 0, 0},
};

std::string target(const Step& s) {
    if (s.command) return s.command;
    return "archive=" + std::to_string(s.archive) + " block=" + std::to_string(s.block);
}

bool isFrame(const Step& s) {
    return s.command == nullptr;
}

std::vector<Row> buildRows() {
    std::vector<Row> rows;
    auto add = [&](const std::string& fault, const std::string& step, const std::string& sc,
                   int result, int mode, Flash flash, int at = 0, int prog = 0, int sw = 0,
                   int status = 0, int alive = 0) {
        rows.push_back({fault, step, sc, result, mode, flash, at, prog, sw, status, alive});
    };
    const int OK = DOWNLOAD_OK, FAIL = DOWNLOAD_FAILED, PROG = DOWNLOAD_PROGRAM_FAILED;
    const int XFER = DOWNLOAD_TRANSFER_FAILED, MODE = DOWNLOAD_MODE_FAILED;

    // A failed step of the transfer: the transfer's result, the modem back in modem mode, the
    // first archive in the flash when the last block of the second failed.
    auto transferFailed = [](const Step& s) { return s.archive == 2 ? FLASH_FIRST : FLASH_NONE; };

    for (const Step& s : kSteps) {
        std::string st = s.name, t = target(s);
        const bool frame = isFrame(s);
        const bool mode1 = st == "AT%MODE=1", load = st == "AT%LOAD", prog = st == "AT%PROG";
        const bool mode0 = st == "AT%MODE=0 (recovery)", autorun = st == "autorun check";

        // refuse: every time (a frame: rejected three times).
        if (frame) {
            std::string sc =
                s.block == 0 ? "reject-header archive=1 times=3" : "reject-block " + t + " times=3";
            add("refuse", st, sc, XFER, 0, transferFailed(s));
        } else if (mode1) {
            add("refuse", st, "refuse AT%MODE=1 times=all", FAIL, 0, FLASH_NONE);
        } else if (load) {
            add("refuse", st, "refuse AT%LOAD times=all", XFER, 0, FLASH_NONE);
        } else if (prog) {
            add("refuse", st, "refuse AT%PROG times=all", PROG, 0, FLASH_NONE, 0, 1);
        } else if (mode0) {
            // The modem will not leave loader mode: nothing can bring it back.
            add("refuse", st, "refuse AT%MODE=0 times=all", FAIL, 1, FLASH_BOTH);
        } else if (autorun) {
            add("refuse", st, "refuse AT%USBMODEM? times=all", FAIL, 0, FLASH_BOTH);
        }

        // ignore: once, no answer at all.
        if (frame) {
            add("ignore", st, "ignore " + t, XFER, 0, transferFailed(s), 2, 0, 1, 1);
        } else if (mode1) {
            // The failed switch closed the port; the retry opens it again, finds the modem
            // answering and the switch goes through.
            add("ignore", st, "ignore AT%MODE=1", OK, 0, FLASH_BOTH, 1);
        } else if (load) {
            add("ignore", st, "ignore AT%LOAD", OK, 0, FLASH_BOTH, 1);
        } else if (prog) {
            add("ignore", st, "ignore AT%PROG=2", OK, 0, FLASH_BOTH, 0, 1);
        } else if (mode0) {
            // The recovery's next try reaches it: the update is complete.
            add("ignore", st, "ignore AT%MODE=0", OK, 0, FLASH_BOTH, 2);
        } else if (autorun) {
            add("ignore", st, "ignore AT%USBMODEM?", OK, 0, FLASH_BOTH, 1);
        }

        // late: the answer (or status) 3 s late, well within every time-out.
        add("late", st, "late " + t + " ms=3000", OK, 0, FLASH_BOTH);
        // pieces: the answer in pieces (a status one byte at a time).
        add("pieces", st, "pieces " + t, OK, 0, FLASH_BOTH);

        // silent: from that point on, nothing. A silent modem in loader mode stays there. After
        // the time-out that finds it silent, one short check that it still answers; no command
        // after that waits another whole time-out for it.
        if (mode1) {
            add("silent", st, "silent AT%MODE=1", FAIL, 0, FLASH_NONE, 1, 0, 0, 0, 1);
        } else if (autorun) {
            add("silent", st, "silent AT%USBMODEM?", FAIL, 0, FLASH_BOTH, 1, 0, 0, 0, 1);
        } else if (mode0) {
            add("silent", st, "silent AT%MODE=0", FAIL, 1, FLASH_BOTH, 1, 0, 0, 0, 1);
        } else if (prog) {
            // AT%PROG=2 and then AT%PROG=1 wait their time-outs: the engine's own retry.
            add("silent", st, "silent AT%PROG=2", PROG, 1, FLASH_NONE, 0, 2, 0, 0, 1);
        } else {
            // AT%LOAD waits its time-out at each of its 6 attempts; a frame's status once.
            add("silent", st, "silent " + t, XFER, 1, load ? FLASH_NONE : transferFailed(s),
                load ? 6 : 0, 0, 0, load ? 0 : 1, 1);
        }

        // vanish: the port goes away on that command or frame and never comes back.
        if (mode1) {
            // Its port went with the mode command and never came back: the switch failed.
            add("vanish", st, "vanish AT%MODE=1", MODE, MODE_ANY, FLASH_NONE, 0, 0, 1);
        } else if (autorun) {
            add("vanish", st, "vanish AT%USBMODEM?", FAIL, MODE_ANY, FLASH_BOTH, 0, 0, 1);
        } else if (mode0) {
            add("vanish", st, "vanish AT%MODE=0", MODE, MODE_ANY, FLASH_BOTH, 0, 0, 1);
        } else if (prog) {
            add("vanish", st, "vanish AT%PROG=2", PROG, MODE_ANY, FLASH_NONE, 0, 1, 1);
        } else {
            add("vanish", st, "vanish " + t, XFER, MODE_ANY, load ? FLASH_NONE : transferFailed(s),
                0, 0, 1);
        }

        // vanish-and-return: away for 5 s, then back in the mode it was in. The recovery
        // finds it and brings it back to modem mode.
        const std::string vr = "vanish " + t + " return=5000";
        if (mode1) {
            // The retried switch finds it back and goes through.
            add("vanish-and-return", st, vr, OK, 0, FLASH_BOTH, 0, 0, 1);
        } else if (autorun) {
            // The final check waits for it, and asks again.
            add("vanish-and-return", st, vr, OK, 0, FLASH_BOTH, 0, 0, 1);
        } else if (mode0) {
            add("vanish-and-return", st, vr, OK, 0, FLASH_BOTH, 0, 0, 1);
        } else if (prog) {
            add("vanish-and-return", st, vr, PROG, 0, FLASH_NONE, 0, 1, 1);
        } else {
            add("vanish-and-return", st, vr, XFER, 0, load ? FLASH_NONE : transferFailed(s), 0, 0,
                1);
        }
    }

    // The reopens after the two mode switches (into loader mode, and the recovery's back).
    for (int sw = 1; sw <= 2; ++sw) {
        std::string st = sw == 1 ? "reopen (loader)" : "reopen (recovery)";
        std::string n = " switch=" + std::to_string(sw);
        // Back 20 s later than usual: the first reopen attempts fail, a later one succeeds.
        add("late", st, "return-late ms=20000" + n, OK, 0, FLASH_BOTH);
        add("renumber", st, "renumber" + n, OK, 0, FLASH_BOTH);
        if (sw == 1) {
            // Every attempt of the job fails: the switch's result.
            add("vanish", st, "never-return" + n, MODE, MODE_ANY, FLASH_NONE, 0, 0, 3);
            // Back only after the job has given up: in loader mode, where it went.
            add("vanish-and-return", st, "return-late ms=60000" + n, MODE, 1, FLASH_NONE, 0, 0, 3);
        } else {
            // The recovery's switch lost the port: it did not come back from the switch.
            add("vanish", st, "never-return" + n, MODE, MODE_ANY, FLASH_BOTH, 0, 0, 2);
            // Back after the recovery has given up, but in modem mode, where it was sent.
            add("vanish-and-return", st, "return-late ms=60000" + n, MODE, 0, FLASH_BOTH, 0, 0, 2);
        }
    }
    return rows;
}

// ---- one run ------------------------------------------------------------------------------

class MilestoneSink : public IDownloadSink {
  public:
    std::atomic<bool> inJob{false};
    void OnEvent(DownloadEvent*) override { inJob = true; }
};

struct Outcome {
    int result = -1;
    int mode = -1;
    int autorun = -1;
    std::string flash;
    Flash flashSet = FLASH_NONE;
    bool flashIntact = true;  // every archive present holds exactly what was sent
    double seconds = 0;
    bool portClosed = false;
    int fdsBefore = 0, fdsAfter = 0;
    std::string why;  // what failed, empty when the row passed
};

bool writeArchive(const std::string& path, uint32_t id, std::vector<uint8_t>* payload) {
    payload->resize(kPayloadSize);
    for (size_t i = 0; i < payload->size(); ++i)
        (*payload)[i] = static_cast<uint8_t>((i * 131 + id * 7) >> 1);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    ArchiveLayout layout;
    layout.archiveIdWord = id;
    CMemoryPayload source(payload->data(), payload->size());
    std::string why;
    int r = archive_Write(f, layout, kPayloadSize, source, &why);
    fclose(f);
    return r == 1;
}

// Keeps the clock fast while the modem withholds every answer, at the pause scale otherwise.
// Only once the job has started: the probe of the port search judges what arrived within a
// pause, so that pause must stay long enough in real time.
class ClockGovernor {
  public:
    ClockGovernor(const modemsim::ModemSim& sim, const MilestoneSink& sink)
        : sim_(sim), sink_(sink), thread_([this] { run(); }) {}
    ~ClockGovernor() {
        stop_ = true;
        thread_.join();
        clk_SetScale(kScale);
    }

  private:
    void run() {
        double current = kScale;
        while (!stop_) {
            double want = sink_.inJob && sim_.withholding() ? kWithholdScale : kScale;
            if (want != current) {
                clk_SetScale(want);
                current = want;
            }
            usleep(1000);
        }
    }
    const modemsim::ModemSim& sim_;
    const MilestoneSink& sink_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Outcome runRow(const Row& row, const std::string& dir, const std::string& firmware,
               const std::map<uint32_t, std::vector<uint8_t>>& payloads) {
    Outcome o;
    mkdir(dir.c_str(), 0755);
    const std::string dev = dir + "/dev", sys = dir + "/sys";
    mkdir(dev.c_str(), 0755);
    mkdir(sys.c_str(), 0755);
    setenv("MODEMFLASH_DEV_ROOT", dev.c_str(), 1);
    setenv("MODEMFLASH_SYSFS_ROOT", sys.c_str(), 1);
    if (chdir(dir.c_str()) != 0) {  // the rejection log lands in the row's folder
        o.why = "cannot enter " + dir;
        return o;
    }
    clk_SetScale(kScale);

    o.fdsBefore = testsupport::openDescriptors();
    {
        modemsim::ModemSim sim;
        modemsim::SimOptions opt;
        opt.devRoot = dev;
        opt.sysfsRoot = sys;
        opt.scenario = row.scenario;
        opt.transcriptPath = dir + "/modem.transcript";
        std::string why;
        if (!sim.start(opt, &why)) {
            o.why = "modem did not start: " + why;
            return o;
        }
        MilestoneSink sink;
        int32_t result = -1;
        int64_t start = 0, end = 0;
        {
            // The engine's lines go to the row's log, not between the table's rows.
            fflush(stdout);
            fflush(stderr);
            int logFd = open((dir + "/engine.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int savedOut = dup(1), savedErr = dup(2);
            dup2(logFd, 1);
            dup2(logFd, 2);
            close(logFd);

            ClockGovernor governor(sim, sink);
            CDownloader downloader;
            if (downloader.SetFirmwareFolder(firmware.c_str()) && downloader.SetSink(&sink)) {
                start = clk_NowMs();
                downloader.Download(&result, 0);
                end = clk_NowMs();
            }
            sink_Set(nullptr);
            sink.inJob = false;

            fflush(stdout);
            fflush(stderr);
            dup2(savedOut, 1);
            dup2(savedErr, 2);
            close(savedOut);
            close(savedErr);
        }
        o.result = result;
        o.seconds = static_cast<double>(end - start) / 1000.0;
        o.portClosed = ctx_Get(0)->isOpen == 0;
        sim.stop();
        o.mode = sim.mode();
        o.autorun = sim.autorun();
        bool first = sim.hasFlash(kArchives[0].id), second = sim.hasFlash(kArchives[1].id);
        o.flashSet = first && second ? FLASH_BOTH : first && !second ? FLASH_FIRST : FLASH_NONE;
        if (!first && second) o.flashSet = FLASH_NONE, o.why = "only the second archive flashed";
        for (const Archive& a : kArchives) {
            if (!sim.hasFlash(a.id)) continue;
            if (!o.flash.empty()) o.flash += ",";
            o.flash += std::to_string(a.id);
            if (sim.flash(a.id) != payloads.at(a.id)) o.flashIntact = false;
        }
        if (o.flash.empty()) o.flash = "-";
        FILE* report = fopen((dir + "/modem.json").c_str(), "w");
        if (report) {
            fputs(sim.reportJson().c_str(), report);
            fclose(report);
        }
    }
    o.fdsAfter = testsupport::openDescriptors();
    if (chdir("/") != 0) {
    }

    // Judge the row.
    std::vector<std::string> why;
    if (!o.why.empty()) why.push_back(o.why);
    if (o.result != row.result)
        why.push_back("result " + std::to_string(o.result) + ", expected " +
                      std::to_string(row.result));
    if (row.mode != MODE_ANY && o.mode != row.mode)
        why.push_back("modem in mode " + std::to_string(o.mode) + ", expected " +
                      std::to_string(row.mode));
    if (o.flashSet != row.flash || !o.flashIntact) why.push_back("flash holds " + o.flash);
    if (o.result == DOWNLOAD_OK && (o.flashSet != FLASH_BOTH || !o.flashIntact))
        why.push_back("success reported with the flash incomplete");
    const double bound = kBaseBoundS + row.atWaits * kAtWaitS + row.progWaits * kProgWaitS +
                         row.switchWaits * kSwitchS + row.statusWaits * kStatusWaitS +
                         row.aliveWaits * kAliveWaitS;
    if (o.seconds > bound) {
        char b[64];
        snprintf(b, sizeof b, "took %.0f s, bound %.0f s", o.seconds, bound);
        why.push_back(b);
    }
    if (!o.portClosed) why.push_back("port left open");
    if (o.fdsAfter != o.fdsBefore)
        why.push_back("descriptors " + std::to_string(o.fdsBefore) + " -> " +
                      std::to_string(o.fdsAfter));
    o.why.clear();
    for (const std::string& w : why) o.why += (o.why.empty() ? "" : "; ") + w;
    return o;
}

// ---- rows in child processes ---------------------------------------------------------------

// An outcome crosses the pipe as one field per line.
std::string encode(const Outcome& o) {
    std::ostringstream out;
    out << o.result << "\n"
        << o.mode << "\n"
        << o.autorun << "\n"
        << static_cast<int>(o.flashSet) << "\n"
        << o.flashIntact << "\n"
        << o.seconds << "\n"
        << o.portClosed << "\n"
        << o.fdsBefore << "\n"
        << o.fdsAfter << "\n"
        << o.flash << "\n"
        << o.why << "\n";
    return out.str();
}

bool decode(const std::string& text, Outcome* o) {
    std::istringstream in(text);
    int flashSet = 0;
    in >> o->result >> o->mode >> o->autorun >> flashSet >> o->flashIntact >> o->seconds >>
        o->portClosed >> o->fdsBefore >> o->fdsAfter;
    o->flashSet = static_cast<Flash>(flashSet);
    in.ignore(1);
    return static_cast<bool>(std::getline(in, o->flash)) && std::getline(in, o->why);
}

struct Child {
    size_t row;
    pid_t pid;
    int fd;  // the pipe's read end
    std::string text;
};

// Runs every listed row, at most `jobs` at a time, each in a child process of its own; returns
// their outcomes by row. A child that dies or says nothing fails its row with the reason.
std::map<size_t, Outcome> runRows(const std::vector<Row>& rows, const std::vector<size_t>& which,
                                  const std::string& root, const char* suffix,
                                  const std::string& firmware,
                                  const std::map<uint32_t, std::vector<uint8_t>>& payloads,
                                  int jobs) {
    std::map<size_t, Outcome> done;
    std::vector<Child> running;
    size_t next = 0;
    while (next < which.size() || !running.empty()) {
        while (next < which.size() && static_cast<int>(running.size()) < jobs) {
            const size_t i = which[next++];
            int fds[2];
            if (pipe(fds) != 0) {
                done[i].why = "no pipe for the row";
                continue;
            }
            fflush(stdout);
            fflush(stderr);
            pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                for (const Child& c : running) close(c.fd);
                const std::string dir = root + "/row" + std::to_string(i) + suffix;
                const std::string text = encode(runRow(rows[i], dir, firmware, payloads));
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
            if (pid < 0) {
                close(fds[0]);
                done[i].why = "cannot start the row's process";
                continue;
            }
            running.push_back({i, pid, fds[0], {}});
        }
        std::vector<pollfd> polls;
        for (const Child& c : running) polls.push_back({c.fd, POLLIN, 0});
        if (poll(polls.data(), polls.size(), -1) < 0) continue;
        for (size_t k = running.size(); k-- > 0;) {
            if (polls[k].revents == 0) continue;
            Child& c = running[k];
            char buf[4096];
            ssize_t n = read(c.fd, buf, sizeof buf);
            if (n > 0) {
                c.text.append(buf, static_cast<size_t>(n));
                continue;
            }
            close(c.fd);
            int status = 0;
            waitpid(c.pid, &status, 0);
            Outcome o;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !decode(c.text, &o)) {
                o = Outcome();
                o.why = "the row's process ended without an outcome (status " +
                        std::to_string(status) + ")";
            }
            done[c.row] = o;
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
    return done;
}

const char* flashName(Flash f) {
    return f == FLASH_BOTH ? "6,5" : f == FLASH_FIRST ? "6" : "-";
}

}  // namespace

int main(int argc, char** argv) {
    bool keep = false, listOnly = false;
    int jobs = 4;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--keep") {
            keep = true;
        } else if (a == "--list") {
            listOnly = true;
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--jobs" && i + 1 < argc && atoi(argv[i + 1]) > 0) {
            jobs = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: %s [--keep] [--only TEXT] [--list] [--jobs N]\n", argv[0]);
            return 2;
        }
    }
    std::vector<Row> rows = buildRows();
    if (listOnly) {
        for (const Row& r : rows)
            printf("%-18s %-22s %s\n", r.fault.c_str(), r.step.c_str(), r.scenario.c_str());
        return 0;
    }

    char tmpl[] = "/tmp/mffaults.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string root = tmpl, firmware = root + "/firmware";
    mkdir(firmware.c_str(), 0755);
    std::map<uint32_t, std::vector<uint8_t>> payloads;
    for (const Archive& a : kArchives) {
        if (!writeArchive(firmware + "/" + a.name, a.id, &payloads[a.id])) {
            fprintf(stderr, "cannot write %s\n", a.name);
            return 1;
        }
    }
    FILE* ini = fopen((firmware + "/update_config.ini").c_str(), "wb");
    if (ini == nullptr) return 1;
    fputs("[update flag]\r\nupdate_cat=8;9\r\n", ini);
    fclose(ini);

    printf("%-18s %-21s %-6s %-6s %-4s %-4s %-6s %-6s %9s %-6s %s\n", "fault", "step", "result",
           "expect", "mode", "auto", "flash", "expect", "time(s)", "closed", "verdict");
    int failing = 0, ran = 0;
    int64_t realStart = clk_RealNowUs();
    std::vector<size_t> chosen;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (only.empty() || (rows[i].fault + "/" + rows[i].step).find(only) != std::string::npos)
            chosen.push_back(i);
    }
    fprintf(stderr, "fault matrix: %zu rows, %d at a time\n", chosen.size(), jobs);
    std::map<size_t, Outcome> first = runRows(rows, chosen, root, "", firmware, payloads, jobs);
    std::vector<size_t> again;
    for (size_t i : chosen)
        if (!first[i].why.empty()) again.push_back(i);
    std::map<size_t, Outcome> second = runRows(rows, again, root, "b", firmware, payloads, 1);
    for (size_t i : chosen) {
        const Row& r = rows[i];
        ++ran;
        Outcome o = first[i];
        std::string firstRun;
        if (second.count(i) > 0) {
            firstRun = o.why;
            o = second[i];
        }
        std::string verdict = firstRun.empty() ? "ok" : "ok (second run; first: " + firstRun + ")";
        if (!o.why.empty()) {
            verdict = "FAIL: " + o.why;
            ++failing;
        }
        char expectMode[8];
        snprintf(expectMode, sizeof expectMode, "%s",
                 r.mode == MODE_ANY ? "gone" : std::to_string(r.mode).c_str());
        char modeText[16];
        snprintf(modeText, sizeof modeText, "%d/%s", o.mode, expectMode);
        printf("%-18s %-21s %-6d %-6d %-4s %-4d %-6s %-6s %9.1f %-6s %s\n", r.fault.c_str(),
               r.step.c_str(), o.result, r.result, modeText, o.autorun, o.flash.c_str(),
               flashName(r.flash), o.seconds,
               o.portClosed && o.fdsAfter == o.fdsBefore ? "yes" : "NO", verdict.c_str());
        fflush(stdout);
    }
    printf("\n%d rows, %d failing", ran, failing);
    printf(" (%.1f s real)\n", static_cast<double>(clk_RealNowUs() - realStart) / 1e6);
    if (keep) {
        printf("work folder kept: %s\n", root.c_str());
    } else {
        std::string cmd = "rm -rf '" + root + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    return failing == 0 ? 0 : 1;
}
