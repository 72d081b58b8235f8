// modemflash watch FOLDER: station mode, each modem updated as it is plugged in, until Ctrl-C.
#include <memory>
#include <string>

#include "cli/command_registry.h"
#include "cli/history/flash_history.h"
#include "cli/record/record_session.h"
#include "cli/station/station_run.h"

namespace {

const cli::CommandRegistrar watchCommand{
    "watch", "Station mode: update each modem as it is plugged in, until Ctrl-C",
    [](CLI::App& app) {
        auto o = std::make_shared<cli::StationRunOptions>();
        o->watch = true;
        app.add_option("FOLDER", o->folder,
                       "Firmware folder with update_config.ini and the archives")
            ->required();
        app.add_option("--log", o->logDir,
                       "Directory for one log file per modem, named by its location");
        app.add_flag("--raw-log", o->rawLog,
                     "Write the library's bytes to the log files as they are (else, in a UTF-8 "
                     "locale, its Chinese GBK lines are UTF-8 there too)");
        app.add_flag("--json", o->json, "One JSON object per event instead of progress lines");
        app.add_flag("--force", o->force,
                     "Send an archive even when it belongs under another file's name (warned)");
        cli::addHistoryOptions(app, &o->history, true);
        cli::addRecordOptions(app, &o->recordDir, &o->recordPayload,
                              "Record every modem's conversation in this directory, one session "
                              "file per modem named by its location; see `modemflash replay`");
        app.add_option("--time-scale", o->timeScale,
                       "Run every pause this many times faster (simulated modems only)");
        app.footer(std::string("A modem is updated once while it stays plugged in (known by its "
                               "location and USB\nserial number); unplug it, or plug in another, "
                               "to update again.\n\n") +
                   cli::kStationFooter);
        return cli::Action([o] { return cli::runStation(*o); });
    }};

}  // namespace
