// The SQLite history: what a record holds, many writers and a reader at once, and the files
// it refuses, repairs or brings up to date.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "history/history_store.h"
#include "support/test_support.h"

namespace {

using testsupport::TempDir;

HistoryUpdate started(const std::string& serial, const std::string& location, int64_t ms) {
    HistoryUpdate u;
    u.startedMs = ms;
    u.machine = "bench-pc";
    u.version = "9.9.9";
    u.serial = serial;
    u.location = location;
    u.folder = "/fw/v2";
    return u;
}

HistoryFile file(int seq, const std::string& name, bool programmed) {
    HistoryFile f;
    f.seq = seq;
    f.name = name;
    f.size = 1000 + seq;
    f.archiveId = seq;
    f.archiveName = "MDM";
    f.sha256 = std::string(64, 'a' + seq);
    f.transferMs = programmed ? 250 : -1;
    f.programmed = programmed;
    return f;
}

HistoryUpdate ended(int result, int64_t ms) {
    HistoryUpdate u;
    u.endedMs = ms;
    u.resultCode = result;
    u.resultWords = result == 1 ? "update complete" : "the firmware transfer failed";
    u.portNames = "COM65,COM66";
    u.logPath = "/var/log/x.log";
    u.answers = {{0, "AT+GMR", "SIM_1.0.0\nbuild 7"}, {1, "AT%CHIPID", "%CHIPID: 0x1"}};
    return u;
}

std::vector<HistoryUpdate> query(IHistoryStore& store, HistoryFilter f = HistoryFilter()) {
    std::vector<HistoryUpdate> out;
    std::string error;
    EXPECT_TRUE(store.Query(f, &out, &error)) << error;
    return out;
}

std::unique_ptr<IHistoryStore> open(const std::string& path, std::string* notice = nullptr) {
    std::string n, error;
    std::unique_ptr<IHistoryStore> s = history_OpenStore(path, &n, &error);
    EXPECT_TRUE(s) << error;
    if (notice) *notice = n;
    return s;
}

int64_t userVersion(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr);
    int64_t v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return v;
}

void runSql(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << error;
    sqlite3_close(db);
}

TEST(HistoryStore, KeepsEveryFieldOfAnUpdateAndItsFiles) {
    TempDir dir;
    auto store = open(dir.file("deep/er/history.sqlite3"));  // folders are created
    ASSERT_TRUE(store);
    std::string error;
    int64_t id = store->BeginUpdate(started("SN1", "1-1.3", 1000), &error);
    ASSERT_GT(id, 0) << error;
    ASSERT_TRUE(store->AddFile(id, file(0, "loader.wrapped", true), &error)) << error;
    ASSERT_TRUE(store->AddFile(id, file(1, "modem.wrapped", false), &error)) << error;
    ASSERT_TRUE(store->AddFile(id, file(1, "modem.wrapped", true), &error)) << "replaces";
    ASSERT_TRUE(store->FinishUpdate(id, ended(1, 61000), &error)) << error;

    HistoryFilter f;
    f.withFiles = true;
    std::vector<HistoryUpdate> all = query(*store, f);
    ASSERT_EQ(all.size(), 1u);
    const HistoryUpdate& u = all[0];
    EXPECT_EQ(u.id, id);
    EXPECT_EQ(u.startedMs, 1000);
    EXPECT_EQ(u.endedMs, 61000);
    EXPECT_EQ(u.machine, "bench-pc");
    EXPECT_EQ(u.version, "9.9.9");
    EXPECT_EQ(u.serial, "SN1");
    EXPECT_EQ(u.location, "1-1.3");
    EXPECT_EQ(u.portNames, "COM65,COM66");
    EXPECT_EQ(u.folder, "/fw/v2");
    EXPECT_EQ(u.resultCode, 1);
    EXPECT_EQ(u.resultWords, "update complete");
    EXPECT_EQ(u.logPath, "/var/log/x.log");
    EXPECT_EQ(u.firmwareBefore(), "SIM_1.0.0");
    ASSERT_EQ(u.answers.size(), 2u);
    EXPECT_EQ(u.answers[1].command, "AT%CHIPID");
    EXPECT_EQ(u.answers[1].mode, 1);
    ASSERT_EQ(u.files.size(), 2u);
    EXPECT_EQ(u.files[0].name, "loader.wrapped");
    EXPECT_EQ(u.files[0].size, 1000);
    EXPECT_EQ(u.files[0].sha256, std::string(64, 'a'));
    EXPECT_EQ(u.files[0].transferMs, 250);
    EXPECT_TRUE(u.files[1].programmed);
    EXPECT_EQ(u.files[1].archiveId, 1);
}

TEST(HistoryStore, FiltersSelectAndNewestComesFirst) {
    TempDir dir;
    auto store = open(dir.file("h.sqlite3"));
    ASSERT_TRUE(store);
    std::string error;
    struct Row {
        const char* serial;
        const char* location;
        int64_t start;
        int result;  // -1: never finished
    } rows[] = {{"A", "1-1.1", 1000, 1},
                {"B", "1-1.2", 2000, 14},
                {"A", "1-1.1", 3000, -1},
                {"C", "1-1.2", 4000, 1}};
    for (const Row& r : rows) {
        int64_t id = store->BeginUpdate(started(r.serial, r.location, r.start), &error);
        ASSERT_GT(id, 0) << error;
        if (r.result < 0) continue;
        ASSERT_TRUE(store->FinishUpdate(id, ended(r.result, r.start + 1), &error));
    }
    auto starts = [&](HistoryFilter f) {
        std::vector<int64_t> out;
        for (const HistoryUpdate& u : query(*store, f)) out.push_back(u.startedMs);
        return out;
    };
    using V = std::vector<int64_t>;
    EXPECT_EQ(starts({}), (V{4000, 3000, 2000, 1000}));
    HistoryFilter f;
    f.serial = "A";
    EXPECT_EQ(starts(f), (V{3000, 1000}));
    f = {};
    f.location = "1-1.2";
    EXPECT_EQ(starts(f), (V{4000, 2000}));
    f = {};
    f.sinceMs = 2000;
    EXPECT_EQ(starts(f), (V{4000, 3000, 2000}));
    f = {};
    f.failedOnly = true;  // a failure and an update that never finished
    EXPECT_EQ(starts(f), (V{3000, 2000}));
    f = {};
    f.limit = 1;
    EXPECT_EQ(starts(f), (V{4000}));
    std::vector<HistoryUpdate> unfinished = query(*store, [] {
        HistoryFilter g;
        g.id = 3;
        return g;
    }());
    ASSERT_EQ(unfinished.size(), 1u);
    EXPECT_FALSE(unfinished[0].finished());
    EXPECT_EQ(unfinished[0].resultCode, -1);
}

// Sixteen jobs, each with its own connection as separate processes have, record updates
// while a reader lists them: none may fail with "database is locked".
TEST(HistoryStore, SixteenWritersAndAReaderAtOnceNeverSeeLocked) {
    TempDir dir;
    const std::string path = dir.file("h.sqlite3");
    ASSERT_TRUE(open(path));
    const int kWriters = 16, kUpdates = 15, kFiles = 7;
    std::atomic<int> failures{0};
    std::atomic<bool> writing{true};
    std::vector<std::string> errors(kWriters + 1);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            std::string notice;
            std::unique_ptr<IHistoryStore> s = history_OpenStore(path, &notice, &errors[w]);
            if (!s) {
                ++failures;
                return;
            }
            for (int n = 0; n < kUpdates; ++n) {
                int64_t id = s->BeginUpdate(started("S" + std::to_string(w), "1-1", n), &errors[w]);
                bool ok = id > 0;
                for (int k = 0; ok && k < kFiles; ++k)
                    ok = s->AddFile(id, file(k, "f", true), &errors[w]);
                ok = ok && s->FinishUpdate(id, ended(1, n + 1), &errors[w]);
                if (!ok) {
                    ++failures;
                    return;
                }
            }
        });
    }
    int reads = 0;
    std::thread reader([&] {
        std::string notice;
        std::unique_ptr<IHistoryStore> s = history_OpenStore(path, &notice, &errors[kWriters]);
        while (s && writing) {
            std::vector<HistoryUpdate> out;
            HistoryFilter f;
            f.withFiles = true;
            if (!s->Query(f, &out, &errors[kWriters])) {
                ++failures;
                return;
            }
            ++reads;
        }
    });
    for (std::thread& t : threads) t.join();
    writing = false;
    reader.join();
    for (const std::string& e : errors) EXPECT_EQ(e, "");
    EXPECT_EQ(failures, 0);
    EXPECT_GT(reads, 0);
    auto store = open(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(query(*store).size(), static_cast<size_t>(kWriters * kUpdates));
}

TEST(HistoryStore, ThreadsSharingOneStoreAllGetTheirRecords) {
    TempDir dir;
    auto store = open(dir.file("h.sqlite3"));
    ASSERT_TRUE(store);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 8; ++w)
        threads.emplace_back([&, w] {
            for (int n = 0; n < 10; ++n) {
                std::string error;
                int64_t id = store->BeginUpdate(started("S" + std::to_string(w), "", n), &error);
                if (id <= 0 || !store->AddFile(id, file(0, "f", true), &error) ||
                    !store->FinishUpdate(id, ended(1, n), &error))
                    ++failures;
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(query(*store).size(), 80u);
}

// Files that are not a usable history: damaged ones are moved aside and a new one started;
// another program's or a newer modemflash's database is left alone and refused.
TEST(HistoryStore, ADamagedFileIsMovedAsideAndANewOneStarted) {
    struct Case {
        const char* what;
        void (*damage)(const std::string& path);
    } cases[] = {
        {"not a database",
         [](const std::string& p) {
             FILE* f = fopen(p.c_str(), "wb");
             fputs("this is a text file, not a history\n", f);
             fclose(f);
         }},
        {"a damaged first page",
         [](const std::string& p) {
             { ASSERT_TRUE(history_OpenStore(p, nullptr, nullptr)); }
             FILE* f = fopen(p.c_str(), "r+b");
             fseek(f, 100, SEEK_SET);  // the schema's page header, past the file header
             for (int i = 0; i < 400; ++i) fputc(0xff, f);
             fclose(f);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("h.sqlite3");
        c.damage(path);
        std::string before = testsupport::readFile(path);
        std::string notice;
        auto store = open(path, &notice);
        ASSERT_TRUE(store);
        EXPECT_NE(notice.find("moved aside as " + path + ".corrupt-"), std::string::npos) << notice;
        std::string aside = notice.substr(notice.find(path + ".corrupt-"));
        aside = aside.substr(0, aside.find(' '));
        EXPECT_TRUE(testsupport::readFile(aside) == before) << "the damaged file is kept as is";
        std::string error;
        EXPECT_GT(store->BeginUpdate(started("S", "L", 1), &error), 0) << error;
        EXPECT_EQ(query(*store).size(), 1u);
    }
}

TEST(HistoryStore, AnotherProgramsOrANewerDatabaseIsRefusedAndLeftAlone) {
    struct Case {
        const char* sql;
        const char* says;
    } cases[] = {
        {"CREATE TABLE contacts (name TEXT)", "another program's database"},
        {"CREATE TABLE updates (id INTEGER); PRAGMA user_version=99", "newer modemflash"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        TempDir dir;
        const std::string path = dir.file("h.sqlite3");
        runSql(path, c.sql);
        std::string before = testsupport::readFile(path);
        std::string notice, error;
        EXPECT_FALSE(history_OpenStore(path, &notice, &error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(notice, "");
        EXPECT_TRUE(testsupport::readFile(path) == before) << "the file is left as it was";
    }
}

TEST(HistoryStore, AFolderThatCannotBeMadeIsAnErrorNotACrash) {
    TempDir dir;
    dir.write("plain-file", "x");  // root may write anywhere, but not below a regular file
    std::string notice, error;
    EXPECT_FALSE(history_OpenStore(dir.file("plain-file/h.sqlite3"), &notice, &error));
    EXPECT_NE(error.find("cannot create the folder"), std::string::npos) << error;
}

// A file of the first layout (updates and files only) gains the answers table and keeps its
// records.
TEST(HistoryStore, AFileOfTheFirstLayoutIsBroughtUpToDate) {
    TempDir dir;
    const std::string path = dir.file("h.sqlite3");
    runSql(
        path,
        "CREATE TABLE updates (id INTEGER PRIMARY KEY, started_ms INTEGER NOT NULL,"
        " ended_ms INTEGER, machine TEXT NOT NULL DEFAULT '', version TEXT NOT NULL DEFAULT '',"
        " location TEXT NOT NULL DEFAULT '', serial TEXT NOT NULL DEFAULT '',"
        " port_names TEXT NOT NULL DEFAULT '', folder TEXT NOT NULL DEFAULT '',"
        " result_code INTEGER, result_words TEXT NOT NULL DEFAULT '',"
        " log_path TEXT NOT NULL DEFAULT '');"
        "CREATE TABLE files (update_id INTEGER NOT NULL REFERENCES updates(id) ON DELETE CASCADE,"
        " seq INTEGER NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL, archive_id INTEGER,"
        " archive_name TEXT NOT NULL DEFAULT '', sha256 TEXT NOT NULL DEFAULT '',"
        " transfer_ms INTEGER, programmed INTEGER NOT NULL DEFAULT 0,"
        " PRIMARY KEY (update_id, seq));"
        "INSERT INTO updates (started_ms, ended_ms, serial, result_code) VALUES (5, 9, 'OLD', 1);"
        "INSERT INTO files (update_id, seq, name, size, programmed) VALUES (1, 0, 'modem.wrapped', "
        "7, 1);"
        "PRAGMA user_version=1;");
    auto store = open(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(userVersion(path), 3);
    HistoryFilter f;
    f.withFiles = true;
    std::vector<HistoryUpdate> old = query(*store, f);
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].serial, "OLD");
    ASSERT_EQ(old[0].files.size(), 1u);
    EXPECT_EQ(old[0].files[0].name, "modem.wrapped");
    EXPECT_EQ(old[0].files[0].archiveId, -1);

    std::string error;
    int64_t id = store->BeginUpdate(started("NEW", "", 10), &error);
    ASSERT_TRUE(store->FinishUpdate(id, ended(1, 11), &error)) << error;
    EXPECT_EQ(query(*store)[0].firmwareBefore(), "SIM_1.0.0") << "answers are kept now";
}

}  // namespace
