// The SQLite history: what a record holds, many writers and a reader at once, and the files
// it refuses, repairs or brings up to date.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
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

// A history of the first layout (updates and files only) with one update and its file.
void writeFirstLayout(const std::string& path) {
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
}

// A history with enough records to fill several pages, then every page after the first
// overwritten: the header and the layout (page 1) are sound, the records are garbage.
void fillThenGarble(const std::string& path) {
    {
        auto store = history_OpenStore(path, nullptr, nullptr);
        ASSERT_TRUE(store);
        std::string error;
        for (int n = 0; n < 40; ++n) {
            int64_t id = store->BeginUpdate(started("S", "L", n), &error);
            for (int k = 0; k < 7; ++k) store->AddFile(id, file(k, "f", true), &error);
            store->FinishUpdate(id, ended(1, n + 1), &error);
        }
    }
    FILE* f = fopen(path.c_str(), "r+b");
    ASSERT_TRUE(f);
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    ASSERT_GT(size, 4 * 4096) << "several pages";
    fseek(f, 4096, SEEK_SET);
    for (long i = 4096; i < size; ++i) fputc(static_cast<int>((i * 7919) & 0xff), f);
    fclose(f);
}

// The files of a folder, by name.
std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Damaged histories are moved aside and a new one started.
TEST(HistoryStore, ADamagedFileIsMovedAsideAndANewOneStarted) {
    struct Case {
        const char* what;
        void (*damage)(const std::string& path);
    } cases[] = {
        {"a damaged first page",
         [](const std::string& p) {
             { ASSERT_TRUE(history_OpenStore(p, nullptr, nullptr)); }
             FILE* f = fopen(p.c_str(), "r+b");
             fseek(f, 100, SEEK_SET);  // the schema's page header, past the file header
             for (int i = 0; i < 400; ++i) fputc(0xff, f);
             fclose(f);
         }},
        {"garbage pages after a sound header and layout", fillThenGarble},
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
        EXPECT_NE(notice.find(path + " is damaged ("), std::string::npos) << notice;
        EXPECT_NE(notice.find("moved aside as " + path + ".corrupt-"), std::string::npos) << notice;
        std::string aside = notice.substr(notice.find(path + ".corrupt-"));
        aside = aside.substr(0, aside.find(' '));
        EXPECT_TRUE(testsupport::readFile(aside) == before) << "the damaged file is kept as is";
        std::string error;
        EXPECT_EQ(query(*store).size(), 0u) << "a new history";
        int64_t id = store->BeginUpdate(started("S", "L", 1), &error);
        EXPECT_GT(id, 0) << error;
        EXPECT_TRUE(store->AddFile(id, file(0, "f", true), &error)) << error;
        EXPECT_EQ(query(*store).size(), 1u);
    }
}

// What is not a history, or not this modemflash's, is refused and left exactly as it is: a
// file that is no SQLite database at all (a mistyped path), another program's database, a
// newer modemflash's layout.
TEST(HistoryStore, WhatIsNotAHistoryOfOursIsRefusedAndLeftAlone) {
    struct Case {
        const char* sql;  // null: a text file
        const char* says;
    } cases[] = {
        {nullptr, "is not a history file (not an SQLite database); it is left as it is"},
        {"CREATE TABLE contacts (name TEXT)", "is not a history file (another program's database)"},
        {"CREATE TABLE updates (id INTEGER); PRAGMA user_version=99", "newer modemflash"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        TempDir dir;
        const std::string path = dir.file("h.sqlite3");
        if (c.sql)
            runSql(path, c.sql);
        else
            dir.write("h.sqlite3", "shopping: milk, bread\n");
        std::string before = testsupport::readFile(path);
        std::string notice, error;
        EXPECT_FALSE(history_OpenStore(path, &notice, &error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(notice, "");
        EXPECT_TRUE(testsupport::readFile(path) == before) << "the file is left as it was";
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"h.sqlite3"});
    }
}

// A path that names a directory or a device (/dev/null: SQLite would open it as an empty
// database and leave its journal beside it) is refused before SQLite opens it.
TEST(HistoryStore, APathThatIsNotARegularFileIsRefusedBeforeAnythingIsTouched) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    std::vector<std::string> expected = {"folder"};
    // A node like /dev/null of our own (only root may make one).
    if (mknod(dir.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        expected.push_back("null");
    for (const std::string& name : expected) {
        SCOPED_TRACE(name);
        std::string notice, error;
        EXPECT_FALSE(history_OpenStore(dir.file(name), &notice, &error));
        EXPECT_EQ(error, dir.file(name) + " is " +
                             (name == "null" ? "a character device" : "a directory") +
                             ", not a history file");
    }
    EXPECT_EQ(namesIn(dir.path()), expected) << "no journal beside them";
    EXPECT_TRUE(namesIn(dir.file("folder")).empty());
}

// A new history in a folder this user may not write is refused with the reason. Root may
// write anywhere, so the check runs in a child that has become nobody.
TEST(HistoryStore, ANewFileInAFolderThisUserCannotWriteIsRefused) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0555), 0);
    chmod(dir.path().c_str(), 0755);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        std::string notice, error;
        bool opened = history_OpenStore(dir.file("locked/h.sqlite3"), &notice, &error) != nullptr;
        ssize_t ignored = write(fds[1], error.data(), error.size());
        (void)ignored;
        _exit(opened ? 1 : 0);
    }
    close(fds[1]);
    std::string error;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) error.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 3) << "could not become nobody";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "refused";
    EXPECT_EQ(error, "cannot create " + dir.file("locked/h.sqlite3") + ": " + dir.file("locked") +
                         ": Permission denied");
    EXPECT_TRUE(namesIn(dir.file("locked")).empty());
}

TEST(HistoryStore, AFolderThatCannotBeMadeIsAnErrorNotACrash) {
    TempDir dir;
    dir.write("plain-file", "x");  // root may write anywhere, but not below a regular file
    std::string notice, error;
    EXPECT_FALSE(history_OpenStore(dir.file("plain-file/h.sqlite3"), &notice, &error));
    EXPECT_NE(error.find("plain-file is not a folder"), std::string::npos) << error;
    EXPECT_FALSE(history_OpenStore(dir.file("plain-file/deeper/h.sqlite3"), &notice, &error));
    EXPECT_NE(error.find("cannot create the folder"), std::string::npos) << error;
}

// Reading: the file is opened read-only and left exactly as it was, whatever it holds.
TEST(HistoryReader, ReadingChangesNothingAndSaysWhatIsThere) {
    struct Case {
        const char* what;
        void (*make)(const TempDir& dir, const std::string& path);
        HistoryReadStatus status;
        const char* says;  // how the error begins (%s: the path); "" when the history opens
    } cases[] = {
        {"nothing there", [](const TempDir&, const std::string&) {}, HISTORY_READ_MISSING,
         "no history at %s"},
        {"a text file",
         [](const TempDir& d, const std::string&) { d.write("h.sqlite3", "notes\n"); },
         HISTORY_READ_NOT_HISTORY, "%s is not a history file (not an SQLite database)"},
        {"a folder", [](const TempDir&, const std::string& p) { mkdir(p.c_str(), 0755); },
         HISTORY_READ_NOT_HISTORY, "%s is not a history file (it is a directory)"},
        {"another program's database",
         [](const TempDir&, const std::string& p) { runSql(p, "CREATE TABLE t (x)"); },
         HISTORY_READ_NOT_HISTORY, "%s is not a history file (another program's database)"},
        {"a newer layout",
         [](const TempDir&, const std::string& p) {
             runSql(p, "CREATE TABLE updates (id INTEGER); PRAGMA user_version=99");
         },
         HISTORY_READ_FAILED, "%s was written by a newer modemflash"},
        {"a damaged history", [](const TempDir&, const std::string& p) { fillThenGarble(p); },
         HISTORY_READ_OK, ""},
        {"an empty file", [](const TempDir& d, const std::string&) { d.write("h.sqlite3", ""); },
         HISTORY_READ_OK, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("h.sqlite3");
        c.make(dir, path);
        std::vector<std::string> names = namesIn(dir.path());
        std::string before = c.status == HISTORY_READ_MISSING || std::string(c.what) == "a folder"
                                 ? ""
                                 : testsupport::readFile(path);
        HistoryReadStatus status;
        std::string error;
        std::unique_ptr<IHistoryReader> reader = history_OpenReader(path, nullptr, &status, &error);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(reader != nullptr, c.status == HISTORY_READ_OK) << error;
        std::string says = c.says;
        if (!says.empty()) says.replace(says.find("%s"), 2, path);
        EXPECT_EQ(error.substr(0, says.size()), says);
        if (reader) {
            std::vector<HistoryUpdate> out;
            bool read = reader->Query(HistoryFilter(), &out, &error);
            if (std::string(c.what) == "a damaged history") {
                EXPECT_FALSE(read);
                EXPECT_EQ(error.rfind(path + " is damaged (", 0), 0u) << error;
                EXPECT_NE(error.find("the next update recorded in it moves it aside"),
                          std::string::npos)
                    << error;
            } else {
                EXPECT_TRUE(read) << error;
                EXPECT_TRUE(out.empty());
            }
            reader.reset();
        }
        // SQLite's companions of a WAL file (its shared index and log) come with any
        // connection, as with every write; nothing else is created, moved or removed.
        std::vector<std::string> after = namesIn(dir.path());
        if (std::string(c.what) == "a damaged history")
            after.erase(std::remove_if(after.begin(), after.end(),
                                       [&](const std::string& n) {
                                           return n == "h.sqlite3-shm" || n == "h.sqlite3-wal";
                                       }),
                        after.end());
        EXPECT_EQ(after, names);
        if (!before.empty()) {
            EXPECT_TRUE(testsupport::readFile(path) == before) << "unchanged";
        }
    }
}

// A file of an older layout is read as it stands, and stays of that layout.
TEST(HistoryReader, AnOlderLayoutIsReadWithoutBringingItUpToDate) {
    TempDir dir;
    const std::string path = dir.file("h.sqlite3");
    writeFirstLayout(path);
    std::string before = testsupport::readFile(path);
    HistoryReadStatus status;
    std::string error;
    auto reader = history_OpenReader(path, nullptr, &status, &error);
    ASSERT_TRUE(reader) << error;
    HistoryFilter f;
    f.withFiles = true;
    std::vector<HistoryUpdate> old;
    ASSERT_TRUE(reader->Query(f, &old, &error)) << error;
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].serial, "OLD");
    EXPECT_TRUE(old[0].answers.empty());
    ASSERT_EQ(old[0].files.size(), 1u);
    EXPECT_EQ(old[0].files[0].name, "modem.wrapped");
    reader.reset();
    EXPECT_EQ(userVersion(path), 1);
    EXPECT_TRUE(testsupport::readFile(path) == before);
}

// The updates come one at a time, newest first, a page of them when asked, and the reading
// stops when the caller has had enough.
TEST(HistoryReader, UpdatesComeOneAtATimeInPagesAndTheCountKnowsThemAll) {
    TempDir dir;
    const std::string path = dir.file("h.sqlite3");
    {
        auto store = open(path);
        ASSERT_TRUE(store);
        std::string error;
        for (int n = 1; n <= 5; ++n)
            ASSERT_GT(store->BeginUpdate(started(n == 3 ? "" : "S", "L", n * 1000), &error), 0);
    }
    auto reader = history_OpenReader(path, nullptr, nullptr, nullptr);
    ASSERT_TRUE(reader);
    auto ids = [&](HistoryFilter f) {
        std::vector<int64_t> out;
        std::string error;
        EXPECT_TRUE(reader->ForEach(
            f,
            [&](const HistoryUpdate& u) {
                out.push_back(u.id);
                return true;
            },
            &error))
            << error;
        return out;
    };
    using V = std::vector<int64_t>;
    HistoryFilter f;
    EXPECT_EQ(ids(f), (V{5, 4, 3, 2, 1}));
    f.limit = 2;
    f.offset = 1;
    EXPECT_EQ(ids(f), (V{4, 3}));
    f = {};
    f.offset = 3;
    EXPECT_EQ(ids(f), (V{2, 1}));
    f = {};
    f.serial = "";  // recorded without a serial number
    EXPECT_EQ(ids(f), (V{3}));

    int calls = 0;
    std::string error;
    EXPECT_TRUE(reader->ForEach(
        HistoryFilter(), [&](const HistoryUpdate&) { return ++calls < 2; }, &error));
    EXPECT_EQ(calls, 2) << "stops when asked";

    int64_t n = -1;
    ASSERT_TRUE(reader->Count(HistoryFilter(), &n, &error)) << error;
    EXPECT_EQ(n, 5);
    f = {};
    f.serial = "S";
    f.limit = 1;
    ASSERT_TRUE(reader->Count(f, &n, &error)) << error;
    EXPECT_EQ(n, 4) << "limit and offset aside";
}

// A file of the first layout (updates and files only) gains the answers table and keeps its
// records.
TEST(HistoryStore, AFileOfTheFirstLayoutIsBroughtUpToDate) {
    TempDir dir;
    const std::string path = dir.file("h.sqlite3");
    writeFirstLayout(path);
    auto store = open(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(userVersion(path), 5);
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
