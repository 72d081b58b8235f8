// The station commands of the command-line host: live lines per modem, JSON, summary table.
#include "cli/station/station_run.h"

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
#include "platform/thread.h"
#include "recorder/station_sessions.h"
#include "station/station.h"

namespace cli {

const char kStationFooter[] =
    "Several modems at once (--all, --at, watch): each modem is known by its USB location\n"
    "(bus and hub ports, e.g. 1-1.3; see `modemflash ports`) and followed there through its\n"
    "mode switches, whatever its port is called. On a terminal one line per modem is redrawn\n"
    "in place; otherwise plain lines begin with the location; --json objects carry it. A\n"
    "summary table ends the run. Ctrl-C: no new updates, the running ones finish; a second\n"
    "Ctrl-C leaves at once (the modems it names are left as they are).\n"
    "Exit status: 0 every modem was updated; otherwise the status of the first failure in\n"
    "location order (4 no modem found or a step failed, 5 programming refused, 6 transfer\n"
    "failed, 7 mode switch failed), and the number of failures is printed.\n";

namespace {

// Bytes above 127 (the library's texts may be GBK) are carried as \u00XX, as flash does.
std::string jsonText(const std::string& text) {
    return jsonString(text.data(), text.size());
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
            printf("{\"type\":\"start\",\"location\":%s,\"serial\":%s,\"port\":%s}\n",
                   jsonText(m.location).c_str(), jsonText(m.serialNumber).c_str(),
                   jsonText(m.portName).c_str());
        else if (mode_ == PLAIN)
            printf("%s: update begins on %s (serial %s)\n", m.location.c_str(), m.portName.c_str(),
                   m.serialNumber.empty() ? "-" : m.serialNumber.c_str());
        flushLocked();
    }

    void OnModemStatus(const StationModem& m, const StationStatus& s) override {
        lock_Acquire(lock_);
        Line* l = line(m);
        bool step = l->status.phase != s.phase || l->status.fileIndex != s.fileIndex ||
                    l->modem.portName != m.portName;
        bool moved = l->status.percent != s.percent;
        l->modem = m;
        l->status = s;
        if (mode_ == JSON && (step || moved)) {
            printf(
                "{\"type\":\"status\",\"location\":%s,\"port\":%s,\"phase\":\"%s\",\"percent\":%d,"
                "\"file\":%d,\"files\":%d,\"name\":%s}\n",
                jsonText(m.location).c_str(), jsonText(m.portName).c_str(),
                station_PhaseKey(s.phase), s.percent, s.fileIndex, s.fileCount,
                jsonText(s.fileName).c_str());
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
            printf(
                "{\"type\":\"result\",\"location\":%s,\"serial\":%s,\"port\":%s,\"code\":%d,"
                "\"words\":%s,\"seconds\":%.1f}\n",
                jsonText(m.location).c_str(), jsonText(m.serialNumber).c_str(),
                jsonText(m.portName).c_str(), r.downloadResult, jsonText(r.words).c_str(),
                r.seconds);
        else if (mode_ == PLAIN)
            printf("%s: %s (%.1f s)\n", m.location.c_str(), r.words.c_str(), r.seconds);
        flushLocked();
    }

    void OnNotice(const char* text) override { notice(text); }

    void notice(const std::string& text) {
        lock_Acquire(lock_);
        if (mode_ == JSON) {
            printf("{\"type\":\"notice\",\"text\":%s}\n", jsonText(text).c_str());
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
            intr_Stop();
        }
        if (t->live) t->display->redraw();
        clk_SleepMs(static_cast<uint32_t>(200 * clk_Scale()));  // a fifth of a real second
    }
}

void printSummary(const std::vector<StationOutcome>& outcomes, bool json, int exitStatus) {
    int failed = 0;
    for (const StationOutcome& o : outcomes) failed += o.result.updated ? 0 : 1;
    if (json) {
        printf("{\"type\":\"summary\",\"modems\":%d,\"updated\":%d,\"failed\":%d,\"exit\":%d}\n",
               static_cast<int>(outcomes.size()), static_cast<int>(outcomes.size()) - failed,
               failed, exitStatus);
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
               o.result.words.c_str());
    printf("%d of %d modem(s) updated; %d failed\n", static_cast<int>(outcomes.size()) - failed,
           static_cast<int>(outcomes.size()), failed);
}

}  // namespace

int runStation(const StationRunOptions& o) {
    if (o.timeScale != 0 && !(o.timeScale >= 1 && o.timeScale <= 1000000)) {
        fprintf(stderr, "modemflash: --time-scale must be a number from 1 to 1000000\n");
        return EXIT_USAGE;
    }
    if (o.timeScale > 0) clk_SetScale(o.timeScale);
    if (o.recordPayload && o.recordDir.empty()) {
        fprintf(stderr, "modemflash: --record-payload needs --record DIR\n");
        return EXIT_USAGE;
    }
    if (!o.recordDir.empty() && !recordDirUsable(o.recordDir)) return EXIT_USAGE;
    if (!o.logDir.empty()) {
        file_MakeDir(o.logDir.c_str());
        std::string probe = o.logDir + "/.modemflash-log-check";
        FILE* f = file_Open(probe.c_str(), "ab");
        if (f == nullptr) {
            fprintf(stderr, "modemflash: cannot write log files in %s\n", o.logDir.c_str());
            return EXIT_USAGE;
        }
        fclose(f);
        remove(probe.c_str());
    }
    // The same check as a single update's, before any modem is touched: a bad archive
    // refuses the folder instead of leaving every modem with half an update.
    {
        EngineLines lines;
        preflight::Options check;
        check.force = o.force;
        preflight::Report report = preflight::checkFolder(o.folder, check);
        if (o.json) {
            // Every JSON object of the station names a modem: the folder's notes, which
            // belong to none, go to standard error as lines.
            for (const preflight::Note& n : report.notes)
                fprintf(stderr, "modemflash: %s: %s%s\n", preflight::levelName(n.level),
                        n.file.empty() ? "" : (n.file + ": ").c_str(), n.text.c_str());
        } else {
            flashcheck::show(report, false, &lines);
        }
        if (!report.ok()) return FLASH_FOLDER;
    }
    CStation station;
    if (!station.SetFirmwareFolder(o.folder.c_str())) {
        fprintf(stderr,
                "modemflash: the firmware folder %s was refused (update_config.ini unreadable or "
                "choosing nothing, or a chosen file missing or shorter than 2 bytes)\n",
                o.folder.c_str());
        return FLASH_FOLDER;
    }
    Display::Mode mode = o.json                   ? Display::JSON
                         : env_IsTerminal(1) != 0 ? Display::LIVE
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
            o.watch ? "watch" : "flash", shown,
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
    station.SetConsoleLog(mode == Display::PLAIN);
    MmInhibit modemManager;
    display.setModemManager(&modemManager);
    intr_Install();
    if (o.companion) {
        std::string why;
        if (!o.companion->Start(&station, &why)) {
            fprintf(stderr, "modemflash: %s\n", why.c_str());
            return EXIT_FAILED;
        }
    }

    if (!o.json) {
        printf("%s with the firmware in %s\n",
               o.watch ? "station mode: updating each modem as it is plugged in (Ctrl-C stops),"
                       : "updating the modems",
               o.folder.c_str());
        fflush(stdout);
    }
    Ticker ticker;
    ticker.display = &display;
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
            status = flashExitFor(out.result.downloadResult);
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
