// modemflash serve FOLDER: the station of `watch`, watched from a browser: a live page, a JSON
// API, Server-Sent Events and Prometheus metrics (src/dashboard).
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/history/flash_history.h"
#include "cli/record/record_session.h"
#include "cli/station/station_run.h"
#include "dashboard/dashboard.h"
#include "dashboard/dashboard_access.h"
#include "dashboard/dashboard_server.h"
#include "history/history_path.h"
#include "history/history_store.h"
#include "history/history_time.h"
#include "history/update_recorder.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "station/station.h"

#ifndef MODEMFLASH_VERSION
#define MODEMFLASH_VERSION "0.0.0"
#endif

namespace {

struct ServeOptions {
    cli::StationRunOptions station;
    std::string listen = "127.0.0.1:" + std::to_string(DASHBOARD_DEFAULT_PORT);
    std::string tokenFile;
};

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The dashboard beside the station: its listener, its history reader and its server.
class Dashboard : public cli::StationCompanion {
  public:
    Dashboard(const ServeOptions& o, ListenAddress listen, std::string token)
        : options_(o), listen_(std::move(listen)), token_(std::move(token)) {}

    void SetShipping(const IHistoryShipping* shipping) override { shipping_ = shipping; }

    IStationListener* Listener(IStationListener* display) override {
        const std::string& folder = options_.station.folder;
        DashboardConfig c;
        c.version = MODEMFLASH_VERSION;
        c.folder = folder;
        char cat[256];
        profile_GetString("update flag", "update_cat", "", cat, sizeof cat,
                          (folder + "/update_config.ini").c_str());
        c.updateCat = cat;
        std::vector<std::string> paths = history_FirmwarePaths(folder);
        for (const std::string& p : paths) {
            long long size = -1;
            if (file_Type(p.c_str(), &size) != FILE_TYPE_REGULAR) size = -1;
            c.fileNames.push_back(baseName(p));
            c.fileSizes.push_back(size);
        }
        firmware_.reset(new CFirmwareFiles(paths));
        c.described = firmware_.get();
        c.timeScale = clk_Scale();
        c.shipping = shipping_;
        c.stopping = [this] { return station_ != nullptr && station_->StopRequested(); };
        openHistory();
        c.historyKept = history_ != nullptr;
        board_.reset(new CDashboard(c, display));
        return board_.get();
    }

    bool Start(CStation* station, std::string* why) override {
        station_ = station;
        if (history_) {
            // Today's counters go on from the records of today.
            HistoryFilter today;
            int64_t now = history_NowMs();
            today.sinceMs = now - now % 86400000;
            std::vector<HistoryUpdate> updates;
            std::string error;
            if (history_->Query(today, &updates, &error)) board_->SeedToday(updates);
        }
        DashboardServerOptions so;
        so.listen = listen_;
        so.token = token_;
        server_.reset(new CDashboardServer(board_.get(), history_.get(), so));
        if (!server_->Start(why)) return false;
        ListenAddress bound = listen_;
        bound.port = server_->Port();
        FILE* out = options_.station.json ? stderr : stdout;
        fprintf(out, "dashboard: %s\n", bound.url().c_str());
        if (!token_.empty())
            fprintf(out,
                    "dashboard: every request needs the token of %s; open the page once as "
                    "%s#token=TOKEN\n",
                    options_.tokenFile.c_str(), bound.url().c_str());
        fflush(out);
        return true;
    }

    void Stop() override {
        if (server_) server_->Stop();
    }

  private:
    // The records are read through a connection of the dashboard's own, so that a long
    // query never holds up the recording of a modem's update.
    void openHistory() {
        const HistoryOptions& h = options_.station.history;
        if (h.none || !history_StoreAvailable()) return;
        std::string path = history_ChoosePath(h, nullptr);
        if (path.empty()) return;
        std::string notice, error;
        history_ = history_OpenStore(path, &notice, &error);
        if (!history_) cli::historyWarning("dashboard: the history cannot be read: " + error);
    }

    const ServeOptions& options_;
    ListenAddress listen_;
    std::string token_;
    CStation* station_ = nullptr;
    const IHistoryShipping* shipping_ = nullptr;  // the station's shipper; null none
    std::unique_ptr<CFirmwareFiles> firmware_;
    std::unique_ptr<IHistoryStore> history_;
    std::unique_ptr<CDashboard> board_;
    std::unique_ptr<CDashboardServer> server_;
};

int runServe(ServeOptions& o) {
    ListenAddress listen;
    std::string why, token;
    if (!dashboard_ParseListen(o.listen, &listen, &why)) {
        fprintf(stderr, "modemflash: %s\n", why.c_str());
        return cli::EXIT_USAGE;
    }
    if (!listen.loopback && o.tokenFile.empty()) {
        fprintf(stderr,
                "modemflash: --listen %s can be reached from other machines: give --token-file "
                "FILE as well (at least %d random characters, not readable by other users), or "
                "listen on 127.0.0.1\n",
                o.listen.c_str(), DASHBOARD_TOKEN_MIN);
        return cli::EXIT_USAGE;
    }
    if (!o.tokenFile.empty() && !dashboard_ReadToken(o.tokenFile, &token, &why)) {
        fprintf(stderr, "modemflash: %s\n", why.c_str());
        return cli::EXIT_USAGE;
    }
    Dashboard dashboard(o, listen, token);
    o.station.watch = true;
    o.station.companion = &dashboard;
    return cli::runStation(o.station);
}

const char kServeFooter[] =
    "The station of `watch`, served on http://127.0.0.1:8470/ unless --listen names another\n"
    "address: the page (one tile per USB location), /api/station, /api/modems, /api/events\n"
    "(Server-Sent Events), /api/history, /api/history/ID, /api/modems/LOCATION/log and\n"
    "/metrics (Prometheus). Nothing served changes the station or the modems.\n"
    "An address other than loopback needs --token-file FILE: its first line, of at least 32\n"
    "random characters, is the token every request must carry (Authorization: Bearer TOKEN);\n"
    "the file must not be readable by other users. Open the page once as\n"
    "http://ADDRESS:PORT/#token=TOKEN: the browser keeps the token for the session.\n"
    "Exit status as for watch; also 1 when the server cannot listen, 2 when --listen or\n"
    "--token-file is refused (the reason is printed).\n\n";

const cli::CommandRegistrar serveCommand{
    "serve", "Station mode with a live dashboard in the browser, a JSON API and metrics",
    [](CLI::App& app) {
        auto o = std::make_shared<ServeOptions>();
        app.add_option("FOLDER", o->station.folder,
                       "Firmware folder with update_config.ini and the archives")
            ->required();
        app.add_option("--listen", o->listen,
                       "ADDRESS:PORT to serve on (default 127.0.0.1:8470; port 0 any free one)");
        app.add_option("--token-file", o->tokenFile,
                       "File holding the token every request must carry (needed beyond "
                       "loopback)");
        app.add_option("--log", o->station.logDir,
                       "Directory for one log file per modem, named by its location");
        app.add_flag("--raw-log", o->station.rawLog,
                     "Write the library's bytes to the log files as they are (else, in a UTF-8 "
                     "locale, its Chinese GBK lines are UTF-8 there too)");
        app.add_flag("--json", o->station.json,
                     "One JSON object per event on standard output instead of progress lines");
        app.add_flag("--force", o->station.force,
                     "Send an archive even when it belongs under another file's name (warned)");
        cli::addHistoryOptions(app, &o->station.history, true);
        cli::addRecordOptions(app, &o->station.recordDir, &o->station.recordPayload,
                              "Record every modem's conversation in this directory, one session "
                              "file per modem named by its location; see `modemflash replay`");
        app.add_option("--time-scale", o->station.timeScale,
                       "Run every pause this many times faster (simulated modems only)");
        app.footer(std::string(kServeFooter) + cli::kStationFooter);
        return cli::Action([o] { return runServe(*o); });
    }};

}  // namespace
