// The station commands of the command-line host: live lines per modem, JSON, summary table.
#include "cli/station/station_run.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/display/engine_lines.h"
#include "cli/flash/flash_checks.h"
#include "cli/flash/preflight.h"
#include "cli/history/flash_history.h"
#include "cli/record/record_session.h"
#include "cli/system/interrupt.h"
#include "cli/system/mm_inhibit.h"
#include "history/history_shipper.h"
#include "history/station_recorder.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "recorder/station_sessions.h"
#include "report/log.h"
#include "report/wait.h"
#include "station/station.h"

namespace cli {

const char kStationFooter[] =
    "Several modems at once (--all, --at, watch): each modem is known by its USB location\n"
    "(bus and hub ports, e.g. 1-1.3; see `modemflash ports`) and followed there through its\n"
    "mode switches, whatever its port is called. On a terminal one line per modem is redrawn\n"
    "in place; otherwise plain lines begin with the location; --json objects carry it. A\n"
    "summary table ends the run. Ctrl-C: no new updates, the running ones finish; a second\n"
    "Ctrl-C leaves at once (the modems it names are left as they are).\n"
    "Every modem port present is either updated or named with the reason it was left out\n"
    "(no USB location, over 16, another process updating it, its port held by another\n"
    "program, no answer to the probe); the summary counts the left out apart.\n"
    "Exit status: 0 every modem present was updated; otherwise the status of the first one\n"
    "not updated in location order (4 no modem found, left out or a step failed, 5\n"
    "programming refused, 6 transfer failed, 7 mode switch failed, 8 another process or\n"
    "program had it), and the number of failures is printed.\n";

namespace {

// One JSON object as a line of standard output.
void printJson(const JsonObject& object) {
    printf("%s\n", json_Line(object).c_str());
}

// One modem's line as the display keeps it.
struct Line {
    StationModem modem;
    StationStatus status;
    bool finished = false;
    StationResult result;
};

// Shows the modems' progress. Its state is shared by the modems' threads and the ticker:
// every member below is guarded by lock_.
class Display : public IStationListener {
  public:
    enum Mode { LIVE, PLAIN, JSON };
    explicit Display(Mode mode) : mode_(mode), lock_(lock_Create()) {}
    ~Display() override { lock_Destroy(lock_); }

    // ModemManager is asked to leave each modem alone from its start to its finish.
    void setModemManager(MmInhibit* mm) { mm_ = mm; }

    void OnModemStart(const StationModem& m) override {
        if (mm_ != nullptr) mm_->inhibit(MmInhibit::uidOfPort(m.portName));
        lock_Acquire(lock_);
        Line* l = line(m);
        l->modem = m;
        if (mode_ == JSON)
            printJson({{"type", "start"},
                       {"location", m.location},
                       {"serial", m.serialNumber},
                       {"port", m.portName}});
        else if (mode_ == PLAIN)
            printf("%s: update begins on %s (serial %s)\n", m.location.c_str(), m.portName.c_str(),
                   m.serialNumber.empty() ? "-" : m.serialNumber.c_str());
        flushLocked();
    }

    void OnModemStatus(const StationModem& m, const StationStatus& s) override {
        lock_Acquire(lock_);
        Line* l = line(m);
        bool step = l->status.phase != s.phase || l->status.fileIndex != s.fileIndex ||
                    l->modem.portName != m.portName || l->status.wait.kind != s.wait.kind;
        bool moved = l->status.percent != s.percent;
        l->modem = m;
        l->status = s;
        if (mode_ == JSON && (step || moved)) {
            printJson({{"type", "status"},
                       {"location", m.location},
                       {"port", m.portName},
                       {"phase", station_PhaseKey(s.phase)},
                       {"percent", s.percent},
                       {"file", s.fileIndex},
                       {"files", s.fileCount},
                       {"name", s.fileName}});
        } else if (mode_ == PLAIN && step && s.phase != STATION_FINISHED) {
            printf("%s %s: %s\n", m.location.c_str(), m.portName.c_str(), describe(*l).c_str());
        }
        flushLocked();
    }

    void OnModemFinish(const StationModem& m, const StationResult& r) override {
        if (mm_ != nullptr) mm_->release(MmInhibit::uidOfPort(m.portName));
        lock_Acquire(lock_);
        Line* l = line(m);
        l->modem = m;
        l->finished = true;
        l->result = r;
        if (mode_ == JSON)
            printJson({{"type", "result"},
                       {"location", m.location},
                       {"serial", m.serialNumber},
                       {"port", m.portName},
                       {"code", r.downloadResult},
                       {"words", r.words},
                       {"failure", r.failure},
                       {"seconds", std::round(r.seconds * 10) / 10}});
        else if (mode_ == PLAIN)
            printf("%s: %s (%.1f s)\n", m.location.c_str(), station_ResultText(r).c_str(),
                   r.seconds);
        flushLocked();
    }

    // The engine's own lines: the plain output has them on the standard streams, labelled
    // with the location; JSON carries each line as an object with the modem's location.
    void OnModemLog(const StationModem& m, int isError, const char* text) override {
        if (mode_ != JSON) return;
        lock_Acquire(lock_);
        std::string entry = text;
        for (size_t b = 0, e; b < entry.size(); b = e + 1) {
            e = entry.find('\n', b);
            if (e == std::string::npos) e = entry.size();
            std::string line = entry.substr(b, e - b);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;  // the engine's spacing lines carry nothing
            printJson({{"type", "log"},
                       {"location", m.location},
                       {"port", m.portName},
                       {"stream", isError ? "stderr" : "stdout"},
                       {"text", cli_LibraryText(line)}});
        }
        flushLocked();
    }

    void OnNotice(const char* text) override { notice(text); }

    void notice(const std::string& text) {
        lock_Acquire(lock_);
        if (mode_ == JSON) {
            printJson({{"type", "notice"}, {"text", text}});
        } else {
            eraseLocked();
            printf("station: %s\n", text.c_str());
        }
        flushLocked();
    }

    // Redraws the live lines (terminal only); called by the ticker.
    void redraw() {
        lock_Acquire(lock_);
        flushLocked();
    }

    // Stops redrawing: the block stays as it is, later output goes below it.
    void freeze() {
        lock_Acquire(lock_);
        if (mode_ == LIVE) drawLocked();
        frozen_ = true;
        lock_Release(lock_);
    }

  private:
    Line* line(const StationModem& m) {
        for (Line& l : lines_)
            if (l.modem.location == m.location) return &l;
        lines_.push_back(Line());
        lines_.back().modem = m;
        std::stable_sort(lines_.begin(), lines_.end(), [](const Line& a, const Line& b) {
            return station_LocationLess(a.modem.location, b.modem.location);
        });
        for (Line& l : lines_)
            if (l.modem.location == m.location) return &l;
        return &lines_.back();
    }

    std::string describe(const Line& l) const {
        const StationStatus& s = l.status;
        char text[256];
        int waited = static_cast<int>((clk_NowMs() - s.phaseStartMs) / 1000);
        switch (s.phase) {
            case STATION_ENTERING_LOADER:
                snprintf(text, sizeof text, "switching to loader (%d s)", waited);
                break;
            case STATION_SENDING:
            case STATION_PROGRAMMING:
                snprintf(text, sizeof text, "%s file %d of %d %s", station_PhaseWords(s.phase),
                         s.fileIndex, s.fileCount, s.fileName.c_str());
                break;
            default:
                snprintf(text, sizeof text, "%s", station_PhaseWords(s.phase));
        }
        // A wait says what it waits for and how long it may take.
        if (s.wait.kind != WAIT_NONE && s.phase != STATION_FINISHED) {
            char wait[160];
            wait_Describe(&s.wait, wait, sizeof wait);
            return std::string(text) + ": " + wait;
        }
        return text;
    }

    // Lock held: writes what the mode calls for and releases the lock.
    void flushLocked() {
        if (mode_ == LIVE && !frozen_) drawLocked();
        fflush(stdout);
        lock_Release(lock_);
    }

    void eraseLocked() {
        if (mode_ != LIVE || drawn_ == 0) return;
        printf("\x1b[%dA", drawn_);
        for (int i = 0; i < drawn_; ++i) printf("\x1b[2K\n");
        printf("\x1b[%dA", drawn_);
        drawn_ = 0;
    }

    void drawLocked() {
        if (drawn_ > 0) printf("\x1b[%dA", drawn_);
        for (const Line& l : lines_) {
            int elapsed = static_cast<int>(
                ((l.finished ? l.status.startMs + static_cast<int64_t>(l.result.seconds * 1000)
                             : clk_NowMs()) -
                 l.status.startMs) /
                1000);
            int p = std::max(0, std::min(100, l.status.percent));
            const int width = 20;
            int filled = p * width / 100;
            std::string state = l.finished ? l.result.words : describe(l);
            printf("\x1b[2K%-10s %-7s [%.*s%*s] %3d%% %3d:%02d  %s\n", l.modem.location.c_str(),
                   l.modem.portName.c_str(), filled, "####################", width - filled, "", p,
                   elapsed / 60, elapsed % 60, state.c_str());
        }
        drawn_ = static_cast<int>(lines_.size());
    }

    Mode mode_;
    MmInhibit* mm_ = nullptr;  // set before the station starts, then only read
    PlatformLock* lock_;
    std::vector<Line> lines_;
    int drawn_ = 0;
    bool frozen_ = false;
};

struct Ticker {
    Display* display;
    EngineLines* lines;
    MmInhibit* modemManager;
    CStation* station;
    CStationSessions* sessions;  // null when no session is recorded
    std::atomic<bool> done{false};
    bool live = false;
};

// Redraws the live lines and turns stop signals into a stop of the station.
void tickerMain(void* arg) {
    Ticker* t = static_cast<Ticker*>(arg);
    int seen = 0;
    while (!t->done) {
        int stops = intr_Count();
        if (stops >= 1 && seen == 0) {
            seen = 1;
            t->station->RequestStop();
            std::vector<StationModem> running = t->station->Running();
            std::string names;
            for (const StationModem& m : running) names += " " + m.location;
            t->display->notice(
                running.empty()
                    ? std::string("stopping: no update is running")
                    : "stopping: no new updates; " + std::to_string(running.size()) +
                          " running update(s) finish first (Ctrl-C again leaves them half done):" +
                          names);
        }
        if (stops >= 2) {
            std::vector<StationModem> running = t->station->Running();
            std::string names;
            for (const StationModem& m : running)
                names += " " + m.location + (m.portName.empty() ? "" : " (" + m.portName + ")");
            t->display->notice("stopped at once; left half done, each may need another update:" +
                               (names.empty() ? std::string(" none") : names));
            t->modemManager->releaseAll();
            if (t->sessions != nullptr) t->sessions->CloseAll();
            fflush(stdout);
            fflush(stderr);
            // The diverted streams go back with what they still hold: the process ends now.
            t->lines->stop();
            intr_Stop();
        }
        if (t->live) t->display->redraw();
        clk_SleepMs(static_cast<uint32_t>(200 * clk_Scale()));  // a fifth of a real second
    }
}

bool leftOut(const StationOutcome& o) {
    return o.result.leftOut != STATION_TAKEN;
}

void printSummary(const std::vector<StationOutcome>& outcomes, bool json, int exitStatus) {
    int failed = 0, left = 0, updated = 0;
    for (const StationOutcome& o : outcomes) {
        if (o.result.updated)
            ++updated;
        else if (leftOut(o))
            ++left;
        else
            ++failed;
    }
    if (json) {
        printJson({{"type", "summary"},
                   {"modems", outcomes.size()},
                   {"updated", updated},
                   {"failed", failed},
                   {"left_out", left},
                   {"exit", exitStatus}});
        return;
    }
    if (outcomes.empty()) {
        printf("no modem was updated\n");
        return;
    }
    size_t lw = 8, sw = 6;
    for (const StationOutcome& o : outcomes) {
        lw = std::max(lw, o.modem.location.size());
        sw = std::max(sw, o.modem.serialNumber.size());
    }
    printf("\n%-*s  %-*s  %8s  %s\n", static_cast<int>(lw), "LOCATION", static_cast<int>(sw),
           "SERIAL", "TIME", "RESULT");
    for (const StationOutcome& o : outcomes)
        printf("%-*s  %-*s  %6.1f s  %s\n", static_cast<int>(lw), o.modem.location.c_str(),
               static_cast<int>(sw),
               o.modem.serialNumber.empty() ? "-" : o.modem.serialNumber.c_str(), o.result.seconds,
               station_ResultText(o.result).c_str());
    printf("%d of %d modem(s) updated; %d failed; %d left out\n", updated,
           static_cast<int>(outcomes.size()), failed, left);
}

// The exit status of one modem's outcome (0 when it was updated).
int exitFor(const StationOutcome& o) {
    if (o.result.updated) return FLASH_OK;
    if (o.result.leftOut == STATION_LOCKED || o.result.leftOut == STATION_BUSY) return FLASH_BUSY;
    return flashExitFor(o.result.downloadResult, o.result.failedStep);
}

}  // namespace

bool plausibleLocation(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}

int runStation(StationRunOptions o) {
    o.folder = preflight::normalFolder(o.folder);
    std::string scale, why;
    if (!flashcheck::timeScale(o.timeScale, !o.timeScale.empty(), &scale, &why) ||
        (!o.logDir.empty() && !flashcheck::logDirectory(o.logDir, &why))) {
        fprintf(stderr, "modemflash: %s\n", why.c_str());
        return EXIT_USAGE;
    }
    if (!scale.empty()) clk_RequestScale(strtod(scale.c_str(), nullptr));
    if (o.recordPayload && o.recordDir.empty()) {
        fprintf(stderr, "modemflash: --record-payload needs --record DIR\n");
        return EXIT_USAGE;
    }
    if (!o.recordDir.empty() && !recordDirUsable(o.recordDir)) return EXIT_USAGE;
    // The same check as a single update's, before any modem is touched: a bad archive
    // refuses the folder instead of leaving every modem with half an update.
    // With --json the folder's notes are objects like single flash's (they belong to the run,
    // not to one modem, and carry no location).
    EngineLines lines;
    {
        preflight::Options check;
        check.force = o.force;
        preflight::Report report = preflight::checkFolder(o.folder, check);
        flashcheck::show(report, o.json, &lines);
        if (!report.ok()) return FLASH_FOLDER;
    }
    mem_FewArenas();  // modems' threads come and go for as long as the station runs
    CStation station;
    if (!station.SetFirmwareFolder(o.folder.c_str())) {
        fprintf(stderr,
                "modemflash: the firmware folder %s was refused (update_config.ini unreadable or "
                "choosing nothing, or a chosen file missing or shorter than 2 bytes)\n",
                o.folder.c_str());
        return FLASH_FOLDER;
    }
    // Live lines need a terminal that redraws in place (on Windows, a console that takes
    // control sequences); any other gets plain lines.
    Display::Mode mode = o.json                         ? Display::JSON
                         : env_TerminalControls(1) != 0 ? Display::LIVE
                                                        : Display::PLAIN;
    Display display(mode);
    // Each modem's update is recorded on its way to the display.
    std::unique_ptr<IHistoryStore> history = openHistoryForUpdates(o.history);
    if (o.companion) o.companion->SetShipping(history_ShippingOf(history.get()));
    IStationListener* shown = o.companion ? o.companion->Listener(&display) : &display;
    // And, with --record, its whole conversation in a session file of its own.
    std::unique_ptr<CStationSessions> sessions;
    if (!o.recordDir.empty()) {
        sessions.reset(new CStationSessions(
            o.recordDir, o.recordPayload, std::string("modemflash ") + MODEMFLASH_VERSION,
            o.companion ? "serve"
            : o.watch   ? "watch"
                        : "flash",
            shown,
            [](const std::string& text) { fprintf(stderr, "modemflash: %s\n", text.c_str()); }));
        sessions->SetFirmware(o.folder);
        recorder_Install(nullptr);
    }
    CStationRecorder recorder(history.get(),
                              sessions ? static_cast<IStationListener*>(sessions.get()) : shown,
                              historyWarning, MODEMFLASH_VERSION, o.logDir);
    recorder.SetFirmware(o.folder);
    station.SetListener(&recorder);
    station.SetLogDirectory(o.logDir.c_str());
    log_SetFileText(!o.rawLog && cli_Utf8Output() ? cli_LogFileText : nullptr);
    station.SetConsoleLog(mode == Display::PLAIN);
    MmInhibit modemManager;
    display.setModemManager(&modemManager);
    intr_Install();
    if (o.companion) {
        why.clear();
        if (!o.companion->Start(&station, &why)) {
            fprintf(stderr, "modemflash: %s\n", why.c_str());
            return EXIT_FAILED;
        }
    }
    // The engine's lines on the standard streams in UTF-8 (plain output), and what reaches
    // standard error besides as JSON objects (--json: the engine's console is off, its lines
    // come to the display).
    lines.start(o.json, "", o.json ? EngineLines::STANDARD_ERROR : EngineLines::BOTH);

    // A scaled run is never mistaken for one fit for real modems.
    std::string notice = flashcheck::scaleNotice(scale);
    if (!notice.empty() && o.json)
        printJson({{"type", "notice"}, {"text", notice}});
    else if (!notice.empty())
        printf("%s\n", notice.c_str());
    if (!o.json) {
        printf("%s with the firmware in %s\n",
               o.watch ? "station mode: updating each modem as it is plugged in (Ctrl-C stops),"
                       : "updating the modems",
               o.folder.c_str());
        fflush(stdout);
    }
    Ticker ticker;
    ticker.display = &display;
    ticker.lines = &lines;
    ticker.station = &station;
    ticker.modemManager = &modemManager;
    ticker.sessions = sessions.get();
    ticker.live = mode == Display::LIVE;
    PlatformThread* thread = thread_Start(tickerMain, &ticker);

    std::vector<StationOutcome> outcomes =
        o.watch ? station.Watch()
                : station.RunOnce(o.all ? std::vector<std::string>() : o.locations);
    ticker.done = true;
    thread_Join(thread);
    if (o.companion) o.companion->Stop();
    display.freeze();
    std::stable_sort(outcomes.begin(), outcomes.end(),
                     [](const StationOutcome& a, const StationOutcome& b) {
                         return station_LocationLess(a.modem.location, b.modem.location);
                     });

    int status = 0;
    for (const StationOutcome& out : outcomes) {
        if (!out.result.updated) {
            status = exitFor(out);
            break;
        }
    }
    if (outcomes.empty() && !o.watch) {
        display.notice("no modem port with a USB location was found (see `modemflash ports`)");
        status = FLASH_FAILED;
    }
    printSummary(outcomes, o.json, status);
    fflush(stdout);
    return status;
}

}  // namespace cli
