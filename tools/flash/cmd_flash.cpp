// modemflash flash FOLDER: a whole firmware update, driving the library as any host does.
//
// The library is loaded at run time (dlopen / LoadLibrary), Create gives the downloader, and
// the calls follow the host contract: SetFirmwareFolder, SetSink, Download. Sink events drive
// the progress display; the posted messages (progress, status, result, information texts)
// are read from this thread's queue whenever an event arrives and after Download returns.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/display/engine_lines.h"
#include "cli/flash/flash_checks.h"
#include "cli/flash/flash_display.h"
#include "cli/flash/flash_exit.h"
#include "cli/flash/preflight.h"
#include "cli/history/flash_history.h"
#include "cli/ports/port_access.h"
#include "cli/record/record_session.h"
#include "cli/station/station_run.h"
#include "cli/system/interrupt.h"
#include "cli/system/mm_inhibit.h"
#include "host/downloader.h"
#include "host/factory.h"
#include "modemflash/downloader.h"
#include "modemflash/messages.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/messages.h"
#include "platform/profile.h"
#include "portscan/modem_port_finder.h"
#include "report/job_observer.h"
#include "report/log.h"

namespace {

const char kFlashEnvironment[] =
    "Environment: MODEMFLASH_TIME_SCALE (simulation only), MODEMFLASH_DEV_ROOT and\n"
    "MODEMFLASH_SYSFS_ROOT (Linux port discovery in another tree), MODEMFLASH_HISTORY (the\n"
    "update history file), MODEMFLASH_HISTORY_SERVER (the server its records are shipped to).\n"
    "A history that cannot be written, or a server that cannot be reached, is a warning, never\n"
    "a failure.\n";

struct FlashOptions {
    std::string folder;
    std::string library;
    std::string logFile;
    bool json = false;
    std::string timeScale;               // as given; checked before use
    bool all = false;                    // every modem present, through the station
    std::vector<std::string> locations;  // the modems at these USB locations
    bool force = false;
    bool rawLog = false;  // the --log files take the library's bytes as they are
    bool libraryGiven = false;
    HistoryOptions history;
    std::string record;  // the session file (with --all or --at: a directory)
    bool recordPayload = false;
};

// The library says only "refused"; tell the user why, from what is in the folder.
void explainRefusedFolder(const std::string& folder) {
    for (const std::string& line : preflight::explainRefusal(folder))
        fprintf(stderr, "modemflash: %s\n", line.c_str());
}

// The engine announces a time scale on standard error; the opening lines repeat it, so that
// a scaled run is never mistaken for one fit for a real modem.
void announceTimeScale(bool json, const std::string& scale) {
    char notice[192];
    if (!clk_ScaleNotice(scale.c_str(), notice, sizeof notice)) return;
    if (json)
        printf("%s\n", json_Line(JsonObject{{"type", "notice"}, {"text", notice}}).c_str());
    else
        printf("%s\n", notice);
    fflush(stdout);
}

// The downloader `flash` drives: the engine linked into this program (the process's one
// CDownloader, as Create gives it), or with --library a library loaded as any host loads
// it, driven through the host contract alone.
struct Engine {
    DynLib lib = nullptr;                // the loaded library, or null for the linked engine
    IDownloader* downloader = nullptr;   // never deleted: it lives until the process ends
    PeekMessageFunction peek = nullptr;  // the loaded library's queue
};

int loadEngine(const FlashOptions& o, Engine* e) {
    if (!o.libraryGiven) {
        e->downloader = host_CreateDownloader();
        return e->downloader ? cli::FLASH_OK : cli::FLASH_LIBRARY;
    }
    e->lib = dynlib_Open(o.library.c_str());
    if (e->lib == nullptr) {
        fprintf(stderr, "modemflash: cannot load %s: %s\n", o.library.c_str(), dynlib_Error());
        return cli::FLASH_LIBRARY;
    }
    auto create = reinterpret_cast<CreateFunction>(dynlib_Symbol(e->lib, "Create"));
    e->peek =
        reinterpret_cast<PeekMessageFunction>(dynlib_Symbol(e->lib, "modemflash_PeekMessage"));
    e->downloader = create ? create() : nullptr;
    if (e->downloader == nullptr) {
        fprintf(stderr, "modemflash: %s has no usable Create\n", o.library.c_str());
        return cli::FLASH_LIBRARY;
    }
    return cli::FLASH_OK;
}

void quietHook(void*, int, int, const char*) {}

// "COM65 at USB location 1-1.3, serial SIM0001", or what is not known and why.
std::string modemWords(const ModemIdentity& m) {
    if (m.port.empty()) return "no modem port found when the update began";
    std::string words = m.port;
    if (!m.location.empty()) words += " at USB location " + m.location;
    if (!m.serial.empty()) words += ", serial " + m.serial;
    if (!m.note.empty()) words += " (" + m.note + ")";
    return words;
}

int runFlash(FlashOptions o) {
    o.folder = preflight::normalFolder(o.folder);
    std::string scale, why;
    if (!flashcheck::timeScale(o.timeScale, !o.timeScale.empty(), &scale, &why)) {
        fprintf(stderr, "modemflash: %s\n", why.c_str());
        return cli::EXIT_USAGE;
    }
    for (const std::string& at : o.locations) {
        if (!cli::plausibleLocation(at)) {
            fprintf(stderr,
                    "modemflash: --at '%s' is not a USB location: give one as `modemflash ports` "
                    "shows it (for example 1-1.3)\n",
                    at.c_str());
            return cli::EXIT_USAGE;
        }
    }
    if ((o.all || !o.locations.empty()) && o.libraryGiven) {
        // The station runs the engine built into this program, one job per modem; a loaded
        // library has the host contract alone, which updates one modem.
        fprintf(stderr,
                "modemflash: --library cannot be used with %s: the station updates several "
                "modems with the engine built into modemflash; a library loaded with --library "
                "updates one modem (leave out %s)\n",
                o.all ? "--all" : "--at", o.all ? "--all" : "--at");
        return cli::EXIT_USAGE;
    }
    if (o.all || !o.locations.empty()) {
        cli::StationRunOptions s;
        s.folder = o.folder;
        s.all = o.all;
        s.history = o.history;
        s.locations = o.locations;
        s.json = o.json;
        s.logDir = o.logFile;
        s.force = o.force;
        s.timeScale = o.timeScale;
        s.rawLog = o.rawLog;
        s.recordDir = o.record;
        s.recordPayload = o.recordPayload;
        return cli::runStation(s);
    }
    if ((o.libraryGiven && o.library.empty() && (why = "--library needs a path", true)) ||
        (!o.logFile.empty() && !flashcheck::logFile(o.logFile, &why))) {
        fprintf(stderr, "modemflash: %s\n", why.c_str());
        return cli::EXIT_USAGE;
    }
    if (o.recordPayload && o.record.empty()) {
        fprintf(stderr, "modemflash: --record-payload needs --record FILE\n");
        return cli::EXIT_USAGE;
    }
    // A library loaded by --library is reached through the host contract alone: nothing of
    // this program's options can travel to it.
    if (o.libraryGiven && (!o.logFile.empty() || !o.timeScale.empty())) {
        fprintf(stderr,
                "modemflash: %s drives the engine built into modemflash; a library loaded with "
                "--library takes the host contract alone (its time scale from its own "
                "MODEMFLASH_TIME_SCALE)\n",
                o.logFile.empty() ? "--time-scale" : "--log");
        return cli::EXIT_USAGE;
    }
    if (!o.libraryGiven && !scale.empty()) clk_RequestScale(strtod(scale.c_str(), nullptr));
    announceTimeScale(o.json, scale);

    Engine engine;
    if (int status = loadEngine(o, &engine)) return status;
    IDownloader* downloader = engine.downloader;

    EngineLines lines;
    // Every chosen file is checked before the engine is given the folder: a bad archive is
    // refused while the modem is untouched, not after the archives before it are programmed.
    preflight::Options check;
    check.force = o.force;
    preflight::Report report = preflight::checkFolder(o.folder, check);
    flashcheck::show(report, o.json, &lines);
    if (!report.ok()) return cli::FLASH_FOLDER;

    if (!downloader->SetFirmwareFolder(o.folder.c_str())) {
        explainRefusedFolder(o.folder);
        return cli::FLASH_FOLDER;
    }
    char rejectionLog[4096];
    lines.start(o.json,
                file_Absolute("log0.txt", rejectionLog, sizeof rejectionLog) ? rejectionLog : "");
    cli::FlashDisplay display(o.json, env_IsTerminal(1) != 0, engine.peek, &lines);
    downloader->SetSink(&display);
    if (!o.json) {
        printf("updating the modem with the firmware in %s\n", o.folder.c_str());
        fflush(stdout);
    }
    cli::FlashRecord record(o.history, o.folder, o.logFile, engine.lib);
    display.setRecord(&record);
    cli::ObserverTee observers(&display, record.observer());
    bool linked = engine.lib == nullptr;
    // The engine's log goes to the --log file instead of standard output (error lines still
    // reach standard error).
    if (linked) log_SetFileText(!o.rawLog && cli_Utf8Output() ? cli_LogFileText : nullptr);
    bool logging = linked && !o.logFile.empty() && log_OpenFile(0, o.logFile.c_str()) == 1;
    cli::FlashSession session(engine.lib);
    if (!o.record.empty() && !session.open(o.record, o.recordPayload, o.folder))
        return cli::EXIT_USAGE;
    int32_t result = DOWNLOAD_FAILED;
    ModemIdentity modem;
    {
        // The port the search will take: one this user may not open fails now, with the fix;
        // ModemManager leaves its modem alone from before the first byte until after the last.
        // The engine built in takes this search as its first pass, so that the update searches
        // once; a loaded library is reached through the host contract alone and looks again.
        ModemSearch search;
        std::string port = access_ModemPortNow(&search);
        std::string group;
        if (access_Denied(port, &group)) {
            fputs(access_DeniedMessage(access_DevicePath(port), group).c_str(), stderr);
            return cli::FLASH_FAILED;
        }
        // Which modem gets the firmware: in the opening lines, the record and the summary.
        modem = access_IdentityOf(port);
        record.setModem(modem.port, modem.location, modem.serial, modem.note);
        if (o.json) {
            JsonObject m{{"type", "modem"},
                         {"port", modem.port},
                         {"location", modem.location},
                         {"serial", modem.serial}};
            if (!modem.note.empty()) m["note"] = modem.note;
            lines.writeJson(m);
        } else {
            printf("the modem: %s\n", cli_OutputText(modemWords(modem)).c_str());
            fflush(stdout);
        }
        MmInhibit modemManager;
        modemManager.inhibit(MmInhibit::uidOfPort(port));
        intr_Install();
        InterruptWatch watch([&display, &modemManager, &lines, &session](int count) {
            if (count == 1) return intr_PrintNotice(intr_LeftBehind(display.lastEvent()));
            // The diverted streams go back first, with what they still hold: the process
            // ends at once, before the diversion's thread would show this line.
            lines.stop();
            fprintf(stderr, "modemflash: stopped by a second interrupt\n");
            modemManager.releaseAll();
            session.interrupted();
            intr_Stop();
        });
        record.begin();
        if (linked) report_SetObserver(&observers);
        if (logging) log_SetHook(quietHook, nullptr);
        if (linked) ports_HandOnSearch(&search);
        downloader->Download(&result, 0);
        ports_HandOnSearch(nullptr);  // one the update did not take goes with it
        if (logging) log_SetHook(nullptr, nullptr);
        if (linked) report_SetObserver(nullptr);
        modemManager.releaseAll();
    }
    if (logging) log_CloseFile(0);
    // The record and the session file say what failed as the screen and the station's
    // records do: the result in the words the failure record gives it, then the failure.
    const char* words = dl_ResultWords(result, display.failureRecord());
    std::string recorded = words;
    if (!display.failure().empty()) recorded += ": " + display.failure();
    record.finish(result, recorded.c_str());
    session.finish(result, words, cli::flashExitFor(result, display.failureStep()));
    display.drainMessages();
    display.endBar();
    downloader->SetSink(nullptr);
    lines.stop();
    const std::string& failure = display.failure();
    if (o.json) {
        JsonObject result_json{{"type", "result"},
                               {"code", result},
                               {"words", dl_ResultWords(result, display.failureRecord())},
                               {"port", modem.port},
                               {"location", modem.location},
                               {"serial", modem.serial}};
        if (!failure.empty()) result_json["failure"] = failure;
        lines.writeJson(result_json);
    } else {
        printf("result %d: %s; the modem: %s\n", result,
               dl_ResultWords(result, display.failureRecord()),
               cli_OutputText(modemWords(modem)).c_str());
        if (!failure.empty())
            printf("what failed: %s\n", failure.c_str());
        else if (result == DOWNLOAD_FAILED && display.lastProgress() == 0)
            printf(
                "(no modem answered on any serial port within the 60 search passes, or the update "
                "stopped before any file was sent)\n");
    }
    fflush(stdout);
    // A loaded library stays loaded: the downloader lives until the process ends.
    return cli::flashExitFor(result, display.failureStep());
}

const cli::CommandRegistrar flashCommand{
    "flash", "Update a modem with the firmware in FOLDER", [](CLI::App& app) {
        auto o = std::make_shared<FlashOptions>();
        app.add_option("FOLDER", o->folder,
                       "Firmware folder with update_config.ini and the archives")
            ->required();
        CLI::Option* library = app.add_option(
            "--library", o->library,
            "Load this library and drive it through the host contract alone, as any host does "
            "(default: the engine built into modemflash)");
        app.add_option("--log", o->logFile,
                       "Write the engine's log to this file (with --all or --at: a directory, "
                       "one file per modem named by its location)");
        CLI::Option* all = app.add_flag(
            "--all", o->all,
            "Update every modem port present (up to 16) at once, each followed by its USB "
            "location");
        app.add_option("--at", o->locations,
                       "Update the modem at this USB location (repeatable; see `modemflash ports`)")
            ->excludes(all)
            ->allow_extra_args(false);
        app.add_flag("--raw-log", o->rawLog,
                     "Write the library's bytes to the --log file as they are (else, in a UTF-8 "
                     "locale, its Chinese GBK lines are UTF-8 there too)");
        app.add_flag("--json", o->json,
                     "One JSON object per event and message instead of progress output");
        app.add_option("--time-scale", o->timeScale,
                       "Run every pause this many times faster (simulated modems only)");
        app.add_flag("--force", o->force,
                     "Send an archive that belongs under another file's name (a warning each)");
        cli::addHistoryOptions(app, &o->history, true);
        cli::addRecordOptions(app, &o->record, &o->recordPayload,
                              "Record everything between the host and the modem in this session "
                              "file (with --all or --at: a directory, one file per modem named "
                              "by its location); see `modemflash replay`");
        app.footer(std::string(cli::kFlashExitFooter) + kFlashEnvironment + "\n" +
                   cli::kStationFooter);
        return cli::Action([o, library] {
            o->libraryGiven = library->count() > 0;
            return runFlash(*o);
        });
    }};

}  // namespace
