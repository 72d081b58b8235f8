// Listing a large update history: `modemflash history` as a table, as JSON and as CSV over a
// history of BENCH_HISTORY_RECORDS updates (default 300,000), each with seven files and three
// identification answers, as a station's history grows over years.
//
// Prints each listing's wall time and the program's peak resident memory. The listings stream
// their rows, so memory stays flat in the number of records (target: under 32 MiB at 300,000
// updates, the same as at 3,000); `--limit 50` shows the cost of a page of the newest.
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "support/test_support.h"

extern char** environ;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The layout from the store itself, then the rows in one transaction (the store's own writes
// are one transaction each, as updates need, and would take minutes here).
bool fill(const std::string& path, long records) {
    std::string notice, error;
    if (!history_OpenStore(path, &notice, &error)) {
        fprintf(stderr, "history: %s\n", error.c_str());
        return false;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    sqlite3_exec(db, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *update = nullptr, *file = nullptr, *answer = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO updates (id, started_ms, ended_ms, machine, version, location, "
                       "serial, port_names, folder, result_code, result_words, log_path) VALUES "
                       "(?1, ?2, ?2 + 93000, 'line-3-station-2', '0.1.0', ?3, ?4, "
                       "'COM65,COM66,COM65', '/srv/firmware/R2.4', ?5, ?6, ?7)",
                       -1, &update, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO files VALUES (?1, ?2, ?3, 1048576 + ?2, ?2, 'MDM', "
                       "'3f5c2ad1e0b94c8f7a6d5e4c3b2a1908f7e6d5c4b3a29180f7e6d5c4b3a2f1e0', "
                       "8200, 1)",
                       -1, &file, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO answers VALUES (?1, 0, ?2, 'SIM_1.0.0 [2026-01-01]')", -1,
                       &answer, nullptr);
    static const char* const kFiles[] = {
        "loader.wrapped",       "secondary_boot.wrapped", "factory_tests.wrapped", "modem.wrapped",
        "mass_storage.wrapped", "nocd.iso.wrapped",       "productConfig.bin"};
    static const char* const kCommands[] = {"AT+GMR", "AT%IFWR", "AT%ICOMPAT"};
    bool ok = update && file && answer;
    for (long i = 1; ok && i <= records; ++i) {
        char location[16], serial[16], log[64];
        snprintf(location, sizeof location, "1-%ld.%ld", i % 4 + 1, i % 16 / 4 + 1);
        snprintf(serial, sizeof serial, "SN%07ld", i % 40000);
        snprintf(log, sizeof log, "/var/log/modemflash/%s.log", location);
        bool failed = i % 23 == 0;
        sqlite3_reset(update);
        sqlite3_bind_int64(update, 1, i);
        sqlite3_bind_int64(update, 2, 1700000000000LL + i * 120000);
        sqlite3_bind_text(update, 3, location, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(update, 4, serial, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(update, 5, failed ? 14 : 1);
        sqlite3_bind_text(update, 6, failed ? "the firmware transfer failed" : "update complete",
                          -1, SQLITE_STATIC);
        sqlite3_bind_text(update, 7, log, -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(update) == SQLITE_DONE;
        for (int k = 0; ok && k < 7; ++k) {
            sqlite3_reset(file);
            sqlite3_bind_int64(file, 1, i);
            sqlite3_bind_int(file, 2, k);
            sqlite3_bind_text(file, 3, kFiles[k], -1, SQLITE_STATIC);
            ok = sqlite3_step(file) == SQLITE_DONE;
        }
        for (const char* c : kCommands) {
            sqlite3_reset(answer);
            sqlite3_bind_int64(answer, 1, i);
            sqlite3_bind_text(answer, 2, c, -1, SQLITE_STATIC);
            ok = ok && sqlite3_step(answer) == SQLITE_DONE;
        }
    }
    sqlite3_finalize(update);
    sqlite3_finalize(file);
    sqlite3_finalize(answer);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) fprintf(stderr, "history: %s\n", sqlite3_errmsg(db));
    sqlite3_close(db);
    return ok;
}

struct Listing {
    int status = -1;
    double seconds = 0;
    double cpu = 0;  // user and system seconds
    double peakMiB = 0;
    long long bytes = 0;  // of output
};

Listing list(const std::string& history, const std::vector<std::string>& args,
             const std::string& out) {
    Listing l;
    std::vector<std::string> words = {MODEMFLASH_CLI_PATH, "history", "--history", history};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return l;
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return l;
    l.seconds = secondsSince(start);
    l.peakMiB = usage.ru_maxrss / 1024.0;  // kilobytes on Linux
    l.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    l.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    struct stat st;
    if (stat(out.c_str(), &st) == 0) l.bytes = st.st_size;
    return l;
}

}  // namespace

int main() {
#ifndef MODEMFLASH_CLI_PATH
    fprintf(stderr, "bench_history: built without the modemflash program\n");
    return 1;
#else
    const char* env = getenv("BENCH_HISTORY_RECORDS");
    long records = env ? atol(env) : 300000;
    if (records < 1) records = 300000;
    testsupport::TempDir dir;
    std::string history = dir.file("history.sqlite3");
    auto start = std::chrono::steady_clock::now();
    if (!fill(history, records)) return 1;
    struct stat st;
    stat(history.c_str(), &st);
    printf("history of %ld updates (7 files, 3 answers each): %.0f MiB, written in %.1f s\n",
           records, st.st_size / 1048576.0, secondsSince(start));
    struct {
        const char* name;
        std::vector<std::string> args;
    } runs[] = {
        {"newest 50", {"--limit", "50"}}, {"table", {}}, {"csv", {"--csv"}}, {"json", {"--json"}}};
    bool met = true;
    for (const auto& r : runs) {
        Listing l = list(history, r.args, dir.file("out"));
        printf("%-10s  status %d  %6.2f s (CPU %6.2f s)  peak RSS %6.1f MiB  output %6.1f MiB\n",
               r.name, l.status, l.seconds, l.cpu, l.peakMiB, l.bytes / 1048576.0);
        met = met && l.status == 0 && l.peakMiB < 32;
    }
    printf("peak RSS under 32 MiB for every listing: %s\n", met ? "met" : "NOT met");
    return met ? 0 : 1;
#endif
}
