// modemflash history: the updates recorded on this machine, newest first.
#include <stdio.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/history/flash_history.h"
#include "history/history_output.h"
#include "history/history_time.h"

namespace {

struct HistoryCommand {
    HistoryOptions file;
    std::string serial;
    std::string location;
    std::string since;
    bool failed = false;
    bool json = false;
    bool csv = false;
    int limit = 0;
    int64_t showId = 0;
    CLI::App* show = nullptr;
};

const char kHistoryFooter[] =
    "Each update is recorded when it starts and completed when it ends; one that never ended\n"
    "(the program was stopped, the computer went down) shows as \"did not finish\".\n"
    "FIRMWARE is what the modem reported (AT+GMR) before the update, then the firmware folder\n"
    "it was given when the update succeeded.\n"
    "Exit status:\n"
    "  0  the history was read (even when it holds no update)\n"
    "  1  the history could not be read, or `show` found no such update\n"
    "  2  the command line was not understood\n";

int runHistory(const HistoryCommand& c) {
    if (!history_StoreAvailable()) {
        fprintf(stderr, "modemflash: this build keeps no update history (built without SQLite)\n");
        return cli::EXIT_FAILED;
    }
    std::string path = history_ChoosePath(c.file, nullptr);
    if (path.empty()) {
        fprintf(stderr, "modemflash: no state folder (HOME is not set); name one with --history\n");
        return cli::EXIT_FAILED;
    }
    HistoryFilter filter;
    filter.serial = c.serial;
    filter.location = c.location;
    filter.failedOnly = c.failed;
    filter.limit = c.limit;
    filter.withFiles = c.json || c.show->parsed();
    if (c.show->parsed()) filter.id = c.showId;
    if (!c.since.empty() && !history_ParseSince(c.since, history_NowMs(), &filter.sinceMs)) {
        fprintf(stderr,
                "modemflash: --since takes a UTC date or time (2026-12-08, \"2026-12-08 10:05\") "
                "or an age (90m, 36h, 7d), not '%s'\n",
                c.since.c_str());
        return cli::EXIT_USAGE;
    }

    std::vector<HistoryUpdate> updates;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        std::string notice, error;
        std::unique_ptr<IHistoryStore> store = history_OpenStore(path, &notice, &error);
        if (!notice.empty()) cli::historyWarning("history: " + notice);
        if (!store) {
            fprintf(stderr, "modemflash: %s\n", error.c_str());
            return cli::EXIT_FAILED;
        }
        if (!store->Query(filter, &updates, &error)) {
            fprintf(stderr, "modemflash: %s\n", error.c_str());
            return cli::EXIT_FAILED;
        }
    }

    if (c.show->parsed()) {
        if (updates.empty()) {
            fprintf(stderr, "modemflash: no update %lld in %s\n", static_cast<long long>(c.showId),
                    path.c_str());
            return cli::EXIT_FAILED;
        }
        fputs((c.json ? history_Json(updates[0]) + "\n" : history_Details(updates[0])).c_str(),
              stdout);
        return cli::EXIT_OK;
    }
    if (c.json) {
        for (const HistoryUpdate& u : updates) printf("%s\n", history_Json(u).c_str());
    } else if (c.csv) {
        printf("%s\r\n", history_CsvHeading().c_str());
        for (const HistoryUpdate& u : updates) printf("%s\r\n", history_CsvLine(u).c_str());
    } else if (updates.empty()) {
        printf("no updates recorded in %s\n", path.c_str());
    } else {
        fputs(history_Table(updates).c_str(), stdout);
    }
    return cli::EXIT_OK;
}

const cli::CommandRegistrar historyCommand{
    "history", "List the modem updates recorded on this machine, newest first", [](CLI::App& app) {
        auto c = std::make_shared<HistoryCommand>();
        cli::addHistoryOptions(app, &c->file, false);
        app.add_option("--serial", c->serial, "Only the modem with this USB serial number");
        app.add_option("--location", c->location, "Only the modem at this USB location (1-1.3)");
        app.add_option("--since", c->since,
                       "Only updates started since a UTC date or time, or within an age (7d)");
        app.add_flag("--failed", c->failed, "Only updates that failed or did not finish");
        app.add_option("--limit", c->limit, "At most this many updates")
            ->check(CLI::PositiveNumber);
        auto* json = app.add_flag("--json", c->json,
                                  "One JSON object per update, its files and answers included");
        app.add_flag("--csv", c->csv, "CSV, one line per update")->excludes(json);
        c->show = app.add_subcommand("show", "Show one update with its files and answers");
        c->show->fallthrough();  // --history and --json may follow the ID
        c->show->add_option("ID", c->showId, "The update's ID (first column of the table)")
            ->required()
            ->check(CLI::PositiveNumber);
        app.footer(kHistoryFooter);
        return cli::Action([c] { return runHistory(*c); });
    }};

}  // namespace
