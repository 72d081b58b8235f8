// modemflash history: the updates recorded on this machine (or, with --server, on every station
// of the fleet), newest first; `history sync` ships what the fleet's server does not have yet.
//
// Reading changes nothing: the file is opened read-only, never created, moved or brought up to
// date, and the updates are written out one at a time as they are read, so that a history of
// any size is listed in the same memory. JSON is UTF-8 (util/json_line.h); the table, CSV and
// details are too in a UTF-8 locale (a modem's answer may hold any byte).
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/display/engine_lines.h"
#include "cli/history/flash_history.h"
#include "cli/options/cli_number.h"
#include "history/history_output.h"
#include "history/history_server.h"
#include "history/history_shipper.h"
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
    std::string limit;
    std::string offset;
    std::string showId;
    std::string station;
    std::string server;  // --server: the fleet's records instead of this machine's
    CLI::Option* serialOption = nullptr;
    CLI::Option* locationOption = nullptr;
    CLI::App* show = nullptr;
    CLI::App* sync = nullptr;
};

const char kHistoryFooter[] =
    "Each update is recorded when it starts and completed when it ends; one that never ended\n"
    "(the program was stopped, the computer went down) shows as \"did not finish\".\n"
    "FIRMWARE is what the modem reported (AT+GMR) before the update, then the firmware folder\n"
    "it was given when the update succeeded. --serial - (or --location -) selects the updates\n"
    "recorded without one. Reading never changes the file; while another program holds it\n"
    "locked, the listing says so and waits.\n"
    "A station that ships its records to a history server (--history-server) shows which are\n"
    "still pending (SHIPPED). --server URI lists the records of every station on that server\n"
    "(a libpq URI or key=value string), with their STATION; `history sync` ships what is\n"
    "pending now (to --server, else MODEMFLASH_HISTORY_SERVER) and says how many records went\n"
    "and how many are left. The password of a server is never shown.\n"
    "Exit status:\n"
    "  0  the history was read (even when it holds no update, or none was ever recorded in\n"
    "     the default file); sync: every record is on the server\n"
    "  1  the history could not be read (a file named that is missing, not a history, damaged,\n"
    "     a server that cannot be reached), or `show` found no such update; sync: records are\n"
    "     left pending\n"
    "  2  the command line was not understood\n";

const int64_t kIdMax = INT64_MAX;

void say(const std::string& text) {
    fprintf(stderr, "modemflash: %s\n", text.c_str());
    fflush(stderr);
}

// The filter the options ask for; false (exit status 2) with the reason printed.
bool filterOf(const HistoryCommand& c, HistoryFilter* f) {
    std::string why;
    // "-" asks for the records kept without a serial number (or location).
    if (c.serialOption->count() > 0) f->serial = c.serial == "-" ? "" : c.serial;
    if (c.locationOption->count() > 0) f->location = c.location == "-" ? "" : c.location;
    f->failedOnly = c.failed;
    if ((!c.limit.empty() && !cli::parseWhole("--limit", c.limit, 1, kIdMax, &f->limit, &why)) ||
        (!c.offset.empty() &&
         !cli::parseWhole("--offset", c.offset, 0, kIdMax, &f->offset, &why)) ||
        (c.show->parsed() && !cli::parseWhole("history show", c.showId, 1, kIdMax, &f->id, &why))) {
        say(why);
        return false;
    }
    if (!c.since.empty() && !history_ParseSince(c.since, history_NowMs(), &f->sinceMs)) {
        say("--since takes a UTC date or time (2026-12-08, \"2026-12-08 10:05\") or an age (90m, "
            "36h, 7d), not '" +
            c.since + "'");
        return false;
    }
    f->withFiles = c.json || c.show->parsed();
    f->station = c.station;
    return true;
}

// Writes the selected updates out as they are read; false when the read failed.
bool list(const HistoryCommand& c, IHistoryReader& reader, HistoryFilter f, const std::string& path,
          HistoryTableColumns columns, std::string* error) {
    if (c.json) {
        return reader.ForEach(
            f,
            [](const HistoryUpdate& u) {
                printf("%s\n", history_Json(u).c_str());
                return true;
            },
            error);
    }
    if (c.csv) {
        printf("%s\r\n", history_CsvHeading().c_str());
        return reader.ForEach(
            f,
            [](const HistoryUpdate& u) {
                printf("%s\r\n", cli_OutputText(history_CsvLine(u)).c_str());
                return true;
            },
            error);
    }
    // The table's columns are measured in a first pass over the same updates. (An update
    // recorded between the passes shows in the second; only its alignment may suffer.)
    CHistoryTable table(columns);
    int64_t rows = 0;
    if (!reader.ForEach(
            f,
            [&](const HistoryUpdate& u) {
                ++rows;
                table.Measure(u);
                return true;
            },
            error))
        return false;
    if (rows == 0) {
        int64_t recorded = 0;
        if (!reader.Count(HistoryFilter(), &recorded, error)) return false;
        if (recorded == 0)
            printf("no updates recorded in %s\n", path.c_str());
        else
            printf("no updates match (%lld recorded in %s)\n", static_cast<long long>(recorded),
                   path.c_str());
        return true;
    }
    fputs(table.Heading().c_str(), stdout);
    return reader.ForEach(
        f,
        [&table](const HistoryUpdate& u) {
            fputs(cli_OutputText(table.Row(u)).c_str(), stdout);
            return true;
        },
        error);
}

// Lists (or shows one of) the updates of an open history: this machine's file or the fleet's
// server, named in messages as `where`.
int fromReader(const HistoryCommand& c, IHistoryReader& reader, const HistoryFilter& filter,
               const std::string& where, HistoryTableColumns columns) {
    std::string error;
    if (c.show->parsed()) {
        HistoryUpdate found;
        bool any = false;
        if (!reader.ForEach(
                filter,
                [&](const HistoryUpdate& u) {
                    found = u;
                    any = true;
                    return false;
                },
                &error)) {
            say(error);
            return cli::EXIT_FAILED;
        }
        if (!any) {
            say("no update " + c.showId + " in " + where);
            return cli::EXIT_FAILED;
        }
        fputs(
            (c.json ? history_Json(found) + "\n" : cli_OutputText(history_Details(found))).c_str(),
            stdout);
        return cli::EXIT_OK;
    }
    bool ok = list(c, reader, filter, where, columns, &error);
    fflush(stdout);
    if (!ok) {
        say(error);
        return cli::EXIT_FAILED;
    }
    return cli::EXIT_OK;
}

// The fleet's records, read from the server.
int fromServer(const HistoryCommand& c, const HistoryFilter& filter) {
    if (!history_ServerAvailable()) {
        say(history_ServerUnavailable());
        return cli::EXIT_FAILED;
    }
    std::string shown = history_ShowServer(c.server), error;
    std::unique_ptr<IHistoryServer> server = history_OpenServer(c.server, false, nullptr, &error);
    if (!server) {
        say("the history server " + shown + " cannot be read: " + error);
        return cli::EXIT_FAILED;
    }
    HistoryTableColumns columns;
    columns.station = true;
    columns.shipped = HistoryTableColumns::SHIPPED_NEVER;  // all of it is there
    return fromReader(c, *server, filter, shown, columns);
}

// history sync: what is pending goes to the server now.
int runSync(const HistoryCommand& c) {
    HistoryOptions options = c.file;
    options.server = c.server;
    std::string server = history_ChooseServer(options);
    if (server.empty()) {
        say("history sync: name the history server (--server URI, or MODEMFLASH_HISTORY_SERVER)");
        return cli::EXIT_USAGE;
    }
    if (!history_ServerAvailable() || !history_StoreAvailable()) {
        say(history_StoreAvailable() ? history_ServerUnavailable()
                                     : "this build keeps no update history (built without SQLite)");
        return cli::EXIT_FAILED;
    }
    std::string path = history_ChoosePath(options, nullptr);
    if (path.empty()) {
        say("no state folder (HOME is not set); name the history with --history");
        return cli::EXIT_FAILED;
    }
    std::string shown = history_ShowServer(server);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        printf("nothing to ship to %s: no history at %s\n", shown.c_str(), path.c_str());
        return cli::EXIT_OK;
    }
    std::string notice, error;
    std::unique_ptr<IHistoryStore> local = history_OpenStore(path, &notice, &error);
    if (!notice.empty()) say("history: " + notice);
    if (!local) {
        say(error);
        return cli::EXIT_FAILED;
    }
    HistorySyncCount count;
    bool ok = history_SyncNow(*local, server, &count, &error);
    for (const std::string& r : count.refused)
        say("the history server " + shown + " refused the record " + r);
    if (!ok) say("the history server " + shown + ": " + error);
    printf("%lld record(s) shipped to %s; %lld left pending\n",
           static_cast<long long>(count.shipped), shown.c_str(),
           static_cast<long long>(count.left));
    fflush(stdout);
    return ok && count.left == 0 ? cli::EXIT_OK : cli::EXIT_FAILED;
}

int runHistory(const HistoryCommand& c) {
    if (c.sync->parsed()) return runSync(c);
    HistoryFilter filter;
    if (!filterOf(c, &filter)) return cli::EXIT_USAGE;
    if (!c.server.empty()) return fromServer(c, filter);
    if (!history_StoreAvailable()) {
        say("this build keeps no update history (built without SQLite)");
        return cli::EXIT_FAILED;
    }
    bool named = false;
    std::string path = history_ChoosePath(c.file, &named);
    if (path.empty()) {
        say("no state folder (HOME is not set); name one with --history");
        return cli::EXIT_FAILED;
    }

    HistoryReadStatus status;
    std::string error;
    std::unique_ptr<IHistoryReader> reader = history_OpenReader(
        path, [] { say("the history is busy (another program is writing it); waiting\u2026"); },
        &status, &error);
    if (!reader) {
        say(error);
        // No update was ever recorded in the default file: nothing to list, nothing wrong.
        bool nothingYet = status == HISTORY_READ_MISSING && !named && !c.show->parsed();
        return nothingYet ? cli::EXIT_OK : cli::EXIT_FAILED;
    }
    // A station that ships shows what is pending; so does a history shipped once before.
    HistoryTableColumns columns;
    if (!history_ChooseServer(c.file).empty())
        columns.shipped = HistoryTableColumns::SHIPPED_ALWAYS;
    return fromReader(c, *reader, filter, path, columns);
}

const cli::CommandRegistrar historyCommand{
    "history",
    "List the modem updates recorded on this machine (or the fleet's, --server), newest first",
    [](CLI::App& app) {
        auto c = std::make_shared<HistoryCommand>();
        cli::addHistoryOptions(app, &c->file, false);
        c->serialOption = app.add_option("--serial", c->serial,
                                         "Only the modem with this USB serial number (- for none)");
        c->locationOption = app.add_option(
            "--location", c->location, "Only the modem at this USB location (1-1.3; - for none)");
        app.add_option("--since", c->since,
                       "Only updates started since a UTC date or time, or within an age (7d)");
        app.add_flag("--failed", c->failed, "Only updates that failed or did not finish");
        app.add_option("--station", c->station, "Only the updates of this station");
        app.add_option("--server", c->server,
                       "The fleet's records on this history server (a libpq URI or key=value "
                       "string) instead of this machine's");
        app.add_option("--limit", c->limit, "At most this many updates (the newest)");
        app.add_option("--offset", c->offset, "Skip this many of the newest updates first");
        auto* json = app.add_flag("--json", c->json,
                                  "One JSON object per update, its files and answers included");
        app.add_flag("--csv", c->csv, "CSV, one line per update")->excludes(json);
        c->show = app.add_subcommand("show", "Show one update with its files and answers");
        c->show->fallthrough();  // --history and --json may follow the ID
        c->show->add_option("ID", c->showId, "The update's ID (first column of the table)")
            ->required();
        c->sync = app.add_subcommand("sync",
                                     "Ship the records the history server does not have yet, now");
        c->sync->fallthrough();  // --server and --history may follow
        app.require_subcommand(0, 1);
        app.footer(kHistoryFooter);
        return cli::Action([c] { return runHistory(*c); });
    }};

}  // namespace
