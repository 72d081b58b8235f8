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
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/display/engine_lines.h"
#include "cli/flash/flash_checks.h"
#include "cli/flash/flash_display.h"
#include "cli/flash/flash_exit.h"
#include "cli/flash/library_path.h"
#include "cli/flash/preflight.h"
#include "cli/history/flash_history.h"
#include "cli/ports/port_access.h"
#include "cli/record/record_session.h"
#include "cli/station/station_run.h"
#include "cli/system/interrupt.h"
#include "cli/system/mm_inhibit.h"
#include "host/downloader.h"
#include "modemflash/downloader.h"
#include "modemflash/messages.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/messages.h"
#include "platform/profile.h"

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

// The library announces a time scale on standard error; the opening lines repeat it, so that
// a scaled run is never mistaken for one fit for a real modem.
void announceTimeScale(bool json) {
    char notice[192];
    if (!clk_ScaleNotice(env_Get("MODEMFLASH_TIME_SCALE"), notice, sizeof notice)) return;
    if (json)
        printf("{\"type\":\"notice\",\"text\":%s}\n", jsonString(notice).c_str());
    else
        printf("%s\n", notice);
    fflush(stdout);
}

int runFlash(const FlashOptions& o) {
    std::string scale, why;
    if (!flashcheck::timeScale(o.timeScale, !o.timeScale.empty(), &scale, &why)) {
        fprintf(stderr, "modemflash: %s\n", why.c_str());
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
        s.timeScale = scale.empty() ? 0 : strtod(scale.c_str(), nullptr);
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
    if (!scale.empty()) {
        env_Set("MODEMFLASH_TIME_SCALE", scale.c_str());  // read by the library's clock
        clk_SetScale(strtod(scale.c_str(), nullptr));     // and the session's time stamps
    }
    if (!o.logFile.empty()) env_Set("MODEMFLASH_LOG_FILE", o.logFile.c_str());
    announceTimeScale(o.json);

    std::string path = cli::flashFindLibrary(o.library);
    DynLib lib = dynlib_Open(path.c_str());
    if (lib == nullptr) {
        fprintf(stderr, "modemflash: cannot load %s: %s\n", path.c_str(), dynlib_Error());
        return cli::FLASH_LIBRARY;
    }
    auto create = reinterpret_cast<CreateFunction>(dynlib_Symbol(lib, "Create"));
    auto peek = reinterpret_cast<PeekMessageFunction>(dynlib_Symbol(lib, "modemflash_PeekMessage"));
    IDownloader* downloader = create ? create() : nullptr;
    if (downloader == nullptr) {
        fprintf(stderr, "modemflash: %s has no usable Create\n", path.c_str());
        return cli::FLASH_LIBRARY;
    }

    EngineLines lines;
    // Every chosen file is checked before the library is given the folder: a bad archive is
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
    std::error_code ec;
    std::filesystem::path rejectionLog = std::filesystem::current_path(ec) / "log0.txt";
    lines.start(o.json, ec ? std::string() : rejectionLog.string());
    cli::FlashDisplay display(o.json, env_IsTerminal(1) != 0, peek, &lines);
    downloader->SetSink(&display);
    if (!o.json) {
        printf("updating the modem with the firmware in %s\n", o.folder.c_str());
        fflush(stdout);
    }
    cli::FlashRecord record(o.history, o.folder, o.logFile, lib);
    display.setRecord(&record);
    cli::FlashSession session(lib);
    if (!o.record.empty() && !session.open(o.record, o.recordPayload, o.folder))
        return cli::EXIT_USAGE;
    int32_t result = DOWNLOAD_FAILED;
    {
        // The port the search will take: one this user may not open fails now, with the fix;
        // ModemManager leaves its modem alone from before the first byte until after the last.
        std::string port = access_ModemPortNow();
        std::string group;
        if (access_Denied(port, &group)) {
            fputs(access_DeniedMessage(access_DevicePath(port), group).c_str(), stderr);
            return cli::FLASH_FAILED;
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
        downloader->Download(&result, 0);
        modemManager.releaseAll();
    }
    record.finish(result, cli::flashResultWords(result));
    session.finish(result, cli::flashResultWords(result), cli::flashExitFor(result));
    display.drainMessages();
    display.endBar();
    downloader->SetSink(nullptr);
    lines.stop();
    if (o.json) {
        char line[160];
        snprintf(line, sizeof line, "{\"type\":\"result\",\"code\":%d,\"words\":\"%s\"}\n", result,
                 cli::flashResultWords(result));
        lines.write(line);
    } else {
        printf("result %d: %s\n", result, cli::flashResultWords(result));
        if (result == DOWNLOAD_FAILED && display.lastProgress() == 0)
            printf(
                "(no modem answered on any serial port within the 60 search passes, or the update "
                "stopped before any file was sent)\n");
    }
    fflush(stdout);
    // The library stays loaded: the downloader lives until the process ends.
    return cli::flashExitFor(result);
}

const cli::CommandRegistrar flashCommand{
    "flash", "Update a modem with the firmware in FOLDER", [](CLI::App& app) {
        auto o = std::make_shared<FlashOptions>();
        app.add_option("FOLDER", o->folder,
                       "Firmware folder with update_config.ini and the archives")
            ->required();
        CLI::Option* library = app.add_option(
            "--library", o->library, "The library to load (default: beside the executable)");
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
