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

#include "command_registry.h"
#include "engine_lines.h"
#include "flash_checks.h"
#include "flash_history.h"
#include "host/downloader.h"
#include "interrupt.h"
#include "mm_inhibit.h"
#include "modemflash/downloader.h"
#include "modemflash/messages.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/messages.h"
#include "platform/profile.h"
#include "port_access.h"
#include "preflight.h"
#include "record_session.h"
#include "station_run.h"

#ifndef MODEMFLASH_INSTALL_LIBDIR
#define MODEMFLASH_INSTALL_LIBDIR "lib"  // where the install tree keeps the library
#endif

namespace {

const char kFlashFooter[] =
    "Exit status:\n"
    "  0  the modem was updated and is back in modem mode with autorun on\n"
    "  1  the library could not be loaded\n"
    "  2  the command line was not understood\n"
    "  3  the firmware folder was refused (configuration or files; the reason is printed)\n"
    "  4  the update failed: no modem answered the probe, a step failed, or the modem's port\n"
    "     may not be opened by this user (the fix is printed)\n"
    "  5  the modem refused to program an archive\n"
    "  6  an archive could not be transferred\n"
    "  7  the modem could not be switched between modes, or its port did not come back\n"
    "  130  stopped by a second Ctrl-C (the first one only says what stopping would leave)\n"
    "Environment: MODEMFLASH_TIME_SCALE (simulation only), MODEMFLASH_DEV_ROOT and\n"
    "MODEMFLASH_SYSFS_ROOT (Linux port discovery in another tree), MODEMFLASH_HISTORY (the\n"
    "update history file). A history that cannot be written is a warning, never a failure.\n";

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

const char* eventName(int code) {
    switch (code) {
        case EVENT_BEGIN_DOWNLOAD:
            return "begindownload";
        case EVENT_CLOSE_AUTORUN:
            return "closeautorun";
        case EVENT_ENTER_DOWNLOAD_MODE:
            return "enterdownloadmode";
        case EVENT_OPEN_AUTORUN:
            return "openautorun";
        case EVENT_SUCCESS:
            return "success";
        case EVENT_LOADER:
            return "loader.wrapped";
        case EVENT_SECONDARY_BOOT:
            return "secondary_boot.wrapped";
        case EVENT_FACTORY_TESTS:
            return "factory_tests.wrapped";
        case EVENT_MODEM:
            return "modem.wrapped";
        case EVENT_NOCD_ISO:
            return "nocd.iso.wrapped";
        case EVENT_MASS_STORAGE:
            return "mass_storage.wrapped";
        case EVENT_PRODUCT_CONFIG:
            return "productConfig.bin";
        case EVENT_RESET_TO_MODEM:
            return "resettomodem";
        default:
            return "unknown";
    }
}

const char* resultWords(int result) {
    switch (result) {
        case DOWNLOAD_OK:
            return "update complete";
        case DOWNLOAD_PROGRAM_FAILED:
            return "the modem refused to program the firmware";
        case DOWNLOAD_TRANSFER_FAILED:
            return "the firmware transfer failed";
        case DOWNLOAD_MODE_FAILED:
            return "the modem could not be switched between modes";
        default:
            return "update failed";
    }
}

}  // namespace

int cli::flashExitFor(int result) {
    switch (result) {
        case DOWNLOAD_OK:
            return cli::FLASH_OK;
        case DOWNLOAD_PROGRAM_FAILED:
            return cli::FLASH_PROGRAM_FAILED;
        case DOWNLOAD_TRANSFER_FAILED:
            return cli::FLASH_TRANSFER_FAILED;
        case DOWNLOAD_MODE_FAILED:
            return cli::FLASH_MODE_FAILED;
        default:
            return cli::FLASH_FAILED;
    }
}

namespace {

class Display : public IDownloadSink {
  public:
    Display(bool json, bool terminal, PeekMessageFunction libraryPeek, EngineLines* lines)
        : json_(json), bar_(terminal && !json), peek_(libraryPeek), lines_(lines) {}

    void OnEvent(DownloadEvent* e) override {
        lastEvent_.store(e->code);
        if (record_) record_->onEvent(e->code);
        drainMessages();
        if (json_) {
            char line[128];
            snprintf(line, sizeof line,
                     "{\"type\":\"event\",\"code\":%d,\"name\":\"%s\",\"value\":%d}\n", e->code,
                     eventName(e->code), e->value);
            lines_->write(line);
            return;
        }
        const char* name = eventName(e->code);
        bool fileEvent = e->code >= EVENT_LOADER && e->code <= EVENT_PRODUCT_CONFIG;
        if (fileEvent && current_ != name) {
            current_ = name;
            if (!bar_) printf("file %s from %d%%\n", name, e->value);
        } else if (!fileEvent) {
            endBar();
            printf("%s (%d%%)\n", name, e->value);
        }
        percent_ = e->value;
        if (bar_ && fileEvent) drawBar();
        fflush(stdout);
    }

    void drainMessages() {
        ModemflashMessage m;
        while (peek(&m)) {
            const char* text =
                m.id == MSG_DL_PROGRESS ? "" : reinterpret_cast<const char*>(m.lParam);
            if (json_) {
                char head[96];
                if (m.id == MSG_DL_PROGRESS) {
                    snprintf(head, sizeof head,
                             "{\"type\":\"progress\",\"port\":%ld,\"percent\":%ld}\n",
                             static_cast<long>(m.wParam), static_cast<long>(m.lParam));
                    lines_->write(head);
                } else {
                    snprintf(head, sizeof head,
                             "{\"type\":\"%s\",\"port\":%ld,\"text\":", kindOf(m.id),
                             static_cast<long>(m.wParam));
                    lines_->write(head + jsonString(text) + "}\n");
                }
                continue;
            }
            if (m.id == MSG_DL_PROGRESS) {
                lastProgress_ = static_cast<int>(m.lParam);
                continue;
            }
            endBar();
            const char* meaning = italianMeaning(text);
            if (meaning)
                printf("%s: %s (%s)\n", kindOf(m.id), text, meaning);
            else
                printf("%s: %s\n", kindOf(m.id), text);
        }
        fflush(stdout);
    }

    void endBar() {
        if (barShown_) {
            printf("\n");
            barShown_ = false;
        }
    }
    int lastProgress() const { return lastProgress_; }
    int lastEvent() const { return lastEvent_.load(); }
    void setRecord(cli::FlashRecord* record) { record_ = record; }
    bool json() const { return json_; }

  private:
    bool peek(ModemflashMessage* m) {
        if (peek_) return peek_(m, 1) != 0;
        uint32_t id;
        intptr_t w, l;
        if (!msg_Peek(&id, &w, &l, 1)) return false;
        m->id = id;
        m->wParam = w;
        m->lParam = l;
        return true;
    }
    static const char* kindOf(uint32_t id) {
        switch (id) {
            case MSG_DL_STATUS:
                return "status";
            case MSG_DL_RESULT:
                return "result";
            case MSG_DL_INFO:
                return "info";
            default:
                return "progress";
        }
    }
    void drawBar() {
        const int width = 40;
        int p = percent_ < 0 ? 0 : percent_ > 100 ? 100 : percent_;
        int filled = p * width / 100;
        printf("\r[%.*s%*s] %3d%%  %-24s", filled, "########################################",
               width - filled, "", p, current_.c_str());
        barShown_ = true;
    }

    bool json_;
    bool bar_;
    PeekMessageFunction peek_;
    EngineLines* lines_;
    std::string current_;
    int percent_ = 0;
    int lastProgress_ = 0;
    bool barShown_ = false;
    std::atomic<int> lastEvent_{INTR_NO_EVENT};  // read by the interrupt watch's thread
    cli::FlashRecord* record_ = nullptr;
};

// One line for each file of the chosen categories that the library would refuse: the file,
// why, and the category of update_cat that chose it.
void explainRefusedFiles(const std::string& folder, const char* categories) {
    struct Chosen {
        int category;
        const char* name;
    };
    static const Chosen kFiles[] = {{7, "factory_tests.wrapped"},  {7, "loader.wrapped"},
                                    {7, "mass_storage.wrapped"},   {7, "modem.wrapped"},
                                    {7, "secondary_boot.wrapped"}, {8, "nocd.iso.wrapped"},
                                    {9, "productConfig.bin"}};
    std::vector<int> chosen = SplitToIntegers(categories, ';');
    int told = 0;
    for (const Chosen& f : kFiles) {
        if (std::find(chosen.begin(), chosen.end(), f.category) == chosen.end()) continue;
        std::string path = folder + "\\" + f.name;
        if (const char* problem = FirmwareFileProblem(path.c_str())) {
            fprintf(stderr, "modemflash: %s is %s (chosen by category %d of update_cat=%s)\n",
                    f.name, problem, f.category, categories);
            ++told;
        }
    }
    if (told == 0)
        fprintf(stderr,
                "modemflash: a firmware file chosen by update_cat=%s is missing, unreadable, not "
                "a regular file or shorter than 2 bytes\n",
                categories);
}

// The library says only "refused"; tell the user why, from what is in the folder.
void explainRefusedFolder(const std::string& folder) {
    std::string ini = folder + "\\update_config.ini";
    char value[40];
    profile_GetString("update flag", "update_cat", "-1", value, sizeof value, ini.c_str());
    FILE* f = file_Open(ini.c_str(), "rb");
    if (f == nullptr) {
        fprintf(stderr, "modemflash: %s/update_config.ini cannot be read\n", folder.c_str());
        return;
    }
    fclose(f);
    if (strcmp(value, "-1") == 0) {
        fprintf(stderr,
                "modemflash: update_config.ini selects no update (section [update flag], key "
                "update_cat missing or -1)\n");
        return;
    }
    if (folder.size() + 23 >= 256) {
        fprintf(stderr, "modemflash: the folder path is too long (at most 232 characters)\n");
        return;
    }
    explainRefusedFiles(folder, value);
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

std::string findLibrary(const std::string& given) {
    if (!given.empty()) return given;
    if (const char* env = env_Get("MODEMFLASH_LIBRARY")) return env;
    char dir[4096];
    if (!dynlib_ExecutableDir(dir, sizeof dir)) return dynlib_LibraryFileName();
    const std::string base = dir;
    const std::string name = dynlib_LibraryFileName();
    // Beside the executable, in the install tree's library directory (lib/<multiarch> in a
    // package), and beside the build tree's tools/ directory.
    for (const std::string& candidate :
         {base + "/" + name, base + "/../" MODEMFLASH_INSTALL_LIBDIR "/" + name,
          base + "/../lib/" + name, base + "/../" + name}) {
        FILE* f = file_Open(candidate.c_str(), "rb");
        if (f) {
            fclose(f);
            return candidate;
        }
    }
    return name;
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

    std::string path = findLibrary(o.library);
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
    Display display(o.json, env_IsTerminal(1) != 0, peek, &lines);
    downloader->SetSink(&display);
    if (!o.json) {
        printf("updating the modem with the firmware in %s\n", o.folder.c_str());
        fflush(stdout);
    }
    cli::FlashRecord record(o.history, o.folder, o.logFile, lib);
    display.setRecord(&record);
    cli::FlashSession session(lib);
    if (!o.record.empty() && !session.open(o.record, o.recordPayload, o.folder)) return cli::EXIT_USAGE;
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
    record.finish(result, resultWords(result));
    session.finish(result, resultWords(result), cli::flashExitFor(result));
    display.drainMessages();
    display.endBar();
    downloader->SetSink(nullptr);
    lines.stop();
    if (o.json) {
        char line[160];
        snprintf(line, sizeof line, "{\"type\":\"result\",\"code\":%d,\"words\":\"%s\"}\n", result,
                 resultWords(result));
        lines.write(line);
    } else {
        printf("result %d: %s\n", result, resultWords(result));
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
        app.footer(std::string(kFlashFooter) + "\n" + cli::kStationFooter);
        return cli::Action([o, library] {
            o->libraryGiven = library->count() > 0;
            return runFlash(*o);
        });
    }};

}  // namespace
