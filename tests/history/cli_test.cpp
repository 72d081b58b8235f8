// The history as a user meets it: `modemflash flash` recording (or warning and going on),
// an update killed mid-transfer, and `modemflash history` listing, filtering and exporting.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "history/history_store.h"
#include "support/command_test.h"
#include "support/modem_command_test.h"
#include "support/test_support.h"
#include "util/utf8.h"

#ifdef MODEMFLASH_CLI_PATH

using testsupport::CommandRun;

namespace {

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
    return n;
}

class HistoryCommand : public testsupport::ModemCliTest {
  protected:
    std::string history = root.path() + "/history.sqlite3";

    std::vector<HistoryUpdate> records() {
        std::vector<HistoryUpdate> out;
        std::string notice, error;
        auto store = history_OpenStore(history, &notice, &error);
        HistoryFilter f;
        f.withFiles = true;
        if (store) store->Query(f, &out, &error);
        return out;
    }
};

TEST_F(HistoryCommand, AFlashIsRecordedWithItsFilesAnswersAndPorts) {
    startModem();
    CommandRun r = run("flash " + firmware + " --time-scale 200 --log " + root.path() +
                           "/engine.log --history " + history,
                       env);
    sim.stop();
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<HistoryUpdate> all = records();
    ASSERT_EQ(all.size(), 1u);
    const HistoryUpdate& u = all[0];
    EXPECT_TRUE(u.finished());
    EXPECT_EQ(u.resultCode, 1);
    EXPECT_EQ(u.resultWords, "update complete");
    EXPECT_EQ(u.folder, firmware);
    EXPECT_EQ(u.logPath, root.path() + "/engine.log");
    EXPECT_EQ(u.portNames.rfind("COM65", 0), 0u) << u.portNames;
    EXPECT_EQ(u.firmwareBefore(), "SIM_1.0.0 [2026-01-01]");
    // Which modem got the firmware: its USB location and serial, in the record, the opening
    // lines and the summary.
    EXPECT_EQ(u.location, sim.location());
    EXPECT_EQ(u.serial, sim.serialNumber());
    EXPECT_EQ(u.identityNote, "");
    const std::string modem =
        "COM65 at USB location " + sim.location() + ", serial " + sim.serialNumber();
    EXPECT_NE(r.out.find("the modem: " + modem + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result 1: update complete; the modem: " + modem + "\n"),
              std::string::npos)
        << r.out;
    CommandRun bySerial =
        run("history --serial " + sim.serialNumber() + " --json --history " + history);
    EXPECT_NE(bySerial.out.find("\"location\":\"" + sim.location() + "\""), std::string::npos)
        << "found by its serial: " << bySerial.out;
    ASSERT_EQ(u.files.size(), 7u);
    // What the modem holds is what the record says was sent: compare the payload hashes the
    // simulated modem computed with the files' hashes through the files themselves.
    for (const HistoryFile& f : u.files) {
        EXPECT_TRUE(f.programmed) << f.name;
        EXPECT_EQ(f.sha256.size(), 64u) << f.name;
        EXPECT_GE(f.transferMs, 0) << f.name;
    }
    EXPECT_EQ(u.files[0].name, "loader.wrapped");
    EXPECT_EQ(u.files[0].archiveName, "LDR");
    EXPECT_EQ(sim.archives().size(), 7u);
}

TEST_F(HistoryCommand, AnUpdateKilledMidTransferLeavesItsRecordUnfinished) {
    // The modem falls silent at the second archive's first data frame: the update stalls in
    // its transfer until it is killed.
    startModem("silent archive=2 block=1\n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string cmd = "exec env " + env + " " MODEMFLASH_CLI_PATH " flash " + firmware +
                          " --time-scale 20 --log /dev/null --history " + history +
                          " >/dev/null 2>&1";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the second archive is recorded as far as it got: its first block went out.
    bool reached = false;
    for (int i = 0; i < 1500 && !reached; ++i) {
        std::vector<HistoryUpdate> all = records();
        reached = all.size() == 1 && all[0].files.size() == 2;
        if (!reached) usleep(10000);
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    sim.stop();
    ASSERT_TRUE(reached) << "the first archive was never recorded";
    EXPECT_TRUE(WIFSIGNALED(status));

    // The record keeps what the modem answered and the file being written, with how far it
    // got, though the program never came to finish it.
    std::vector<HistoryUpdate> all = records();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_FALSE(all[0].finished());
    EXPECT_EQ(all[0].firmwareBefore(), "SIM_1.0.0 [2026-01-01]");
    std::string answered;
    for (const HistoryAnswer& a : all[0].answers)
        answered += std::to_string(a.mode) + " " + a.command + "; ";
    EXPECT_EQ(answered, "0 AT+GMR; 0 AT%IFWR; 0 AT%ICOMPAT; ");
    ASSERT_EQ(all[0].files.size(), 2u);
    EXPECT_TRUE(all[0].files[0].programmed);
    EXPECT_GE(all[0].files[0].transferMs, 0);
    EXPECT_EQ(all[0].files[1].name, "secondary_boot.wrapped");
    EXPECT_FALSE(all[0].files[1].programmed);
    EXPECT_EQ(all[0].files[1].blocksSent, 1);
    EXPECT_EQ(all[0].files[1].transferMs, -1);
    CommandRun show = run("history show 1 --history " + history);
    EXPECT_NE(show.out.find("transfer cut short after 1 block"), std::string::npos) << show.out;
    EXPECT_EQ(show.out.find("(none kept)"), std::string::npos) << show.out;

    CommandRun table = run("history --history " + history);
    EXPECT_EQ(table.status, 0) << table.out;
    EXPECT_NE(table.out.find("did not finish"), std::string::npos) << table.out;
    CommandRun failed = run("history --failed --json --history " + history);
    EXPECT_EQ(count(failed.out, "\"finished\":false"), 1u) << failed.out;
}

// A refused update: the file the modem would not program was sent whole, and its record
// says so (its transfer time); no modem at all: the record says it knows none.
TEST_F(HistoryCommand, ARefusedUpdateKeepsItsTransferAndAMissingModemIsSaid) {
    startModem("refuse AT%PROG=2 times=all\nrefuse AT%PROG=1 times=all\n");
    CommandRun r =
        run("flash " + firmware + " --time-scale 200 --log /dev/null --history " + history, env);
    sim.stop();
    EXPECT_EQ(r.status, 5) << r.out;
    std::vector<HistoryUpdate> all = records();
    ASSERT_EQ(all.size(), 1u);
    ASSERT_GE(all[0].files.size(), 1u);
    // What failed, from the job's own record of it.
    EXPECT_NE(all[0].resultWords.find("the modem refused to program the firmware: programming "
                                      "loader.wrapped (file 1 of 7): AT%PROG=1 answered ERROR"),
              std::string::npos)
        << all[0].resultWords;
    // Where the modem was left, and what was written last.
    EXPECT_NE(all[0].modemLeft.find("; the last file written was loader.wrapped (file 1 of 7, "),
              std::string::npos)
        << all[0].modemLeft;
    const HistoryFile& refused = all[0].files[0];
    EXPECT_FALSE(refused.programmed);
    EXPECT_GE(refused.transferMs, 0) << "the transfer happened";
    EXPECT_GT(refused.blocksSent, 0);
    CommandRun json = run("history --json --history " + history);
    EXPECT_EQ(
        json.out.find("\"transfer_ms\":null,\"blocks_sent\":" + std::to_string(refused.blocksSent)),
        std::string::npos)
        << json.out;

    std::string none = root.path() + "/none.sqlite3";
    r = run("flash " + firmware + " --time-scale 1000 --log /dev/null --history " + none, env);
    EXPECT_EQ(r.status, 4) << r.out;
    std::string notice, error;
    auto store = history_OpenStore(none, &notice, &error);
    ASSERT_TRUE(store) << error;
    std::vector<HistoryUpdate> missing;
    ASSERT_TRUE(store->Query(HistoryFilter(), &missing, &error)) << error;
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0].location, "");
    EXPECT_EQ(missing[0].identityNote.rfind("no modem port was present when the update began", 0),
              0u)
        << missing[0].identityNote;
    EXPECT_NE(r.out.find("the modem: no modem port found when the update began"), std::string::npos)
        << r.out;
    EXPECT_NE(run("history show 1 --history " + none).out.find("modem       no modem port"),
              std::string::npos);
}

TEST_F(HistoryCommand, AHistoryThatCannotBeWrittenIsOneWarningAndTheUpdateGoesOn) {
    startModem();
    root.write("plain-file", "x");  // as root only a path below a regular file cannot be made
    CommandRun r = run("flash " + firmware + " --time-scale 200 --log /dev/null --history " +
                           root.path() + "/plain-file/history.sqlite3",
                       env);
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("result 1: update complete"), std::string::npos) << r.out;
    EXPECT_EQ(count(r.out, "warning: history:"), 1u) << r.out;
    EXPECT_EQ(sim.archives().size(), 7u);
}

TEST_F(HistoryCommand, NoHistoryWritesNothing) {
    startModem();
    CommandRun r = run("flash " + firmware + " --time-scale 200 --log /dev/null --no-history", env);
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.out;
    struct stat st;
    EXPECT_NE(stat((root.path() + "/state/modemflash").c_str(), &st), 0);
    EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;
}

// A history written directly through the store, then listed as a user lists it.
TEST_F(HistoryCommand, ListsFiltersAndExports) {
    {
        std::string notice, error;
        auto store = history_OpenStore(history, &notice, &error);
        ASSERT_TRUE(store) << error;
        struct Row {
            const char* serial;
            const char* location;
            const char* start;
            int result;  // -1: never finished
        } rows[] = {{"SNA", "1-1.1", "2026-12-01", 1},
                    {"SNB", "1-1.2", "2026-12-02", 14},
                    {"SNA", "1-1.1", "2026-12-03", -1}};
        int64_t day = 86400000;
        int64_t base = 1796083200000;  // 2026-12-01T00:00:00Z
        for (int i = 0; i < 3; ++i) {
            HistoryUpdate u;
            u.startedMs = base + i * day;
            u.serial = rows[i].serial;
            u.location = rows[i].location;
            u.folder = "/srv/fw/R2, \"final\"";
            int64_t id = store->BeginUpdate(u, &error);
            ASSERT_GT(id, 0) << error;
            HistoryFile f;
            f.name = "modem.wrapped";
            f.size = 10;
            f.sha256 = std::string(64, 'c');
            f.programmed = true;
            ASSERT_TRUE(store->AddFile(id, f, &error));
            if (rows[i].result < 0) continue;
            HistoryUpdate end;
            end.endedMs = u.startedMs + 83000;
            end.resultCode = rows[i].result;
            end.resultWords =
                rows[i].result == 1 ? "update complete" : "the firmware transfer failed";
            end.answers = {{0, "AT+GMR", "OLD_1.0"}};
            ASSERT_TRUE(store->FinishUpdate(id, end, &error));
        }
    }
    std::string h = " --history " + history;
    CommandRun table = run("history" + h);
    ASSERT_EQ(table.status, 0) << table.out;
    EXPECT_LT(table.out.find("2026-12-03"), table.out.find("2026-12-02")) << "newest first";
    EXPECT_LT(table.out.find("2026-12-02"), table.out.find("2026-12-01"));
    EXPECT_NE(table.out.find("OLD_1.0 -> R2, \"final\""), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("failed 14: the firmware transfer failed"), std::string::npos);
    EXPECT_NE(table.out.find("1 min 23 s"), std::string::npos) << table.out;

    EXPECT_EQ(count(run("history --serial SNA --json" + h).out, "\"serial\":\"SNA\""), 2u);
    EXPECT_EQ(count(run("history --location 1-1.2 --json" + h).out, "{\"id\":"), 1u);
    EXPECT_EQ(count(run("history --since 2026-12-02 --json" + h).out, "{\"id\":"), 2u);
    CommandRun failed = run("history --failed --json" + h);
    EXPECT_EQ(count(failed.out, "{\"id\":"), 2u) << failed.out;
    EXPECT_NE(failed.out.find("\"files\":[{\"name\":\"modem.wrapped\""), std::string::npos)
        << failed.out;

    CommandRun csv = run("history --csv" + h);
    EXPECT_EQ(count(csv.out, "\r\n"), 4u) << csv.out;
    EXPECT_NE(csv.out.find(",\"/srv/fw/R2, \"\"final\"\"\","), std::string::npos) << csv.out;

    CommandRun show = run("history show 2" + h);
    EXPECT_EQ(show.status, 0) << show.out;
    EXPECT_NE(show.out.find("serial      SNB"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("AT+GMR     OLD_1.0"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("sha256 " + std::string(64, 'c')), std::string::npos) << show.out;

    EXPECT_EQ(run("history show 99" + h).status, 1);
    EXPECT_EQ(run("history --since yesterday" + h).status, 2);

    // Records kept without a serial number, pages of the listing, a filter that finds none.
    CommandRun noSerial = run("history --serial - --json" + h);
    EXPECT_EQ(count(noSerial.out, "{\"id\":"), 0u) << noSerial.out;
    CommandRun page = run("history --limit 1 --offset 1" + h);
    EXPECT_EQ(page.status, 0) << page.out;
    EXPECT_NE(page.out.find("2026-12-02"), std::string::npos) << page.out;
    EXPECT_EQ(page.out.find("2026-12-03"), std::string::npos) << page.out;
    EXPECT_EQ(page.out.find("2026-12-01"), std::string::npos) << page.out;
    CommandRun nomatch = run("history --serial NOPE" + h);
    EXPECT_EQ(nomatch.status, 0);
    EXPECT_EQ(nomatch.out, "no updates match (3 recorded in " + history + ")\n");
}

// Texts in UTF-8 pass through every listing as they are (JSON escapes nothing it need not);
// bytes that are not UTF-8 (a modem may answer anything) show as U+FFFD in JSON, and in the
// table, CSV and details in a UTF-8 locale, while the record keeps them.
TEST_F(HistoryCommand, Utf8PassesAndOtherBytesAreReplacedVisibly) {
    const std::string folder =
        "/srv/firmware-\xC3\xBCn\xC3\xAF"
        "c\xC3\xB8"
        "d\xC3\xA9-\xE5\x9B\xBA\xE4\xBB\xB6";
    const std::string answer = "SIM\xFF\xC4\xE3_1.0";
    // FF cannot start a character; C4 is cut short by E3, and E3 by '_'.
    const std::string shown = "SIM" UTF8_REPLACEMENT UTF8_REPLACEMENT UTF8_REPLACEMENT "_1.0";
    {
        std::string notice, error;
        auto store = history_OpenStore(history, &notice, &error);
        ASSERT_TRUE(store) << error;
        HistoryUpdate u;
        u.startedMs = 1796083200000;
        u.serial = "SN\xE2\x82\xAC";  // SN and a euro sign
        u.folder = folder;
        int64_t id = store->BeginUpdate(u, &error);
        ASSERT_GT(id, 0) << error;
        HistoryUpdate end;
        end.endedMs = u.startedMs + 1000;
        end.resultCode = 1;
        end.answers = {{0, "AT+GMR", answer}};
        ASSERT_TRUE(store->FinishUpdate(id, end, &error)) << error;
    }
    std::string h = " --history " + history;
    std::string utf8 = "LC_ALL=C.UTF-8";
    CommandRun json = run("history --json" + h, utf8);
    EXPECT_NE(json.out.find("\"folder\":\"" + folder + "\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"serial\":\"SN\xE2\x82\xAC\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"answer\":\"" + shown + "\""), std::string::npos) << json.out;
    EXPECT_EQ(json.out.find("\\u00"), std::string::npos) << json.out;
    EXPECT_EQ(run("history --json" + h, "LC_ALL=C").out, json.out) << "JSON is UTF-8 always";
    for (const char* args : {"history", "history --csv", "history show 1"}) {
        CommandRun r = run(args + h, utf8);
        EXPECT_NE(r.out.find(shown), std::string::npos) << args << ": " << r.out;
        EXPECT_NE(r.out.find("SN\xE2\x82\xAC"), std::string::npos) << args << ": " << r.out;
        EXPECT_EQ(r.out.find(answer), std::string::npos) << args << ": " << r.out;
    }
    EXPECT_NE(run("history show 1" + h, "LC_ALL=C").out.find(answer), std::string::npos)
        << "another locale gets the bytes as they are";
}

// Values the history command cannot use are named, with the bounds it takes.
TEST_F(HistoryCommand, NumbersItCannotUseAreNamedWithTheirBounds) {
    const std::string bounds = "a whole number from 1 to 9223372036854775807";
    struct {
        const char* args;
        std::string says;
    } cases[] = {
        {"history show abc", "history show takes " + bounds + ", not 'abc'"},
        {"history show 0", "history show 0 is out of range: give " + bounds},
        {"history show 99999999999999999999",
         "history show 99999999999999999999 is out of range: give " + bounds},
        {"history --limit 0", "--limit 0 is out of range: give " + bounds},
        {"history --limit -1", "--limit -1 is out of range: give " + bounds},
        {"history --limit many", "--limit takes " + bounds + ", not 'many'"},
        {"history --offset -1",
         "--offset -1 is out of range: give a whole number from 0 to 9223372036854775807"},
        {"history --since 2024-02-30", "not '2024-02-30'"},
    };
    for (const auto& c : cases) {
        CommandRun r = run(std::string(c.args) + " --history " + history);
        EXPECT_EQ(r.status, 2) << c.args << ": " << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << ": " << r.out;
        EXPECT_EQ(r.out.find("0.000000"), std::string::npos) << r.out;
    }
}

// Listing and show open the file read-only: a mistyped path, another program's file or a
// damaged history is named and left exactly as it is.
TEST_F(HistoryCommand, ReadingAMistypedPathOrAForeignFileChangesNothing) {
    std::string notes = root.path() + "/notes.txt";
    root.write("notes.txt", "call the supplier\n");
    for (const char* args : {"history --history ", "history show 1 --history "}) {
        CommandRun r = run(args + notes);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.out,
                  "modemflash: " + notes + " is not a history file (not an SQLite database)\n");
    }
    EXPECT_EQ(testsupport::readFile(notes), "call the supplier\n");

    std::string missing = root.path() + "/nowhere/h.sqlite3";
    CommandRun r = run("history show 1 --history " + missing);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "modemflash: no history at " + missing + "\n");
    struct stat st;
    EXPECT_NE(stat((root.path() + "/nowhere").c_str(), &st), 0) << "reading creates nothing";

    // No update recorded yet in the default history: said, and not an error.
    r = run("history", env);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out,
              "modemflash: no history at " + root.path() + "/state/modemflash/history.sqlite3\n");
    EXPECT_NE(stat((root.path() + "/state").c_str(), &st), 0) << "reading creates nothing";
}

// Another program holds the history locked: the listing says why it waits, and goes on as
// soon as the lock is gone.
TEST_F(HistoryCommand, ABusyHistoryIsWaitedForAndSaidSo) {
    {
        std::string notice, error;
        auto store = history_OpenStore(history, &notice, &error);
        ASSERT_TRUE(store) << error;
        HistoryUpdate u;
        u.startedMs = 1796083200000;
        u.serial = "SNLOCK";
        ASSERT_GT(store->BeginUpdate(u, &error), 0) << error;
    }
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(history.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder,
                           "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                           "UPDATE updates SET machine = 'holder';",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    clitest::ChildProcess listing({MODEMFLASH_CLI_PATH, "history", "--history", history}, {});
    EXPECT_TRUE(listing.waitFor(
        "modemflash: the history is busy (another program is writing it); waiting\u2026\n", 20000))
        << listing.output();
    usleep(100000);
    EXPECT_EQ(listing.output().find("SNLOCK"), std::string::npos) << "waits: " << listing.output();
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_EQ(listing.wait(20000), 0) << listing.output();
    EXPECT_NE(listing.output().find("SNLOCK"), std::string::npos) << listing.output();
    EXPECT_EQ(count(listing.output(), "busy"), 1u) << listing.output();
}

// A history this user may read but not write (another user's, in a folder this user cannot
// write either) is listed as it stands.
TEST_F(HistoryCommand, AHistoryThisUserMayOnlyReadIsListed) {
    std::string dir = root.path() + "/shared";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string path = dir + "/history.sqlite3";
    {
        std::string notice, error;
        auto store = history_OpenStore(path, &notice, &error);
        ASSERT_TRUE(store) << error;
        HistoryUpdate u;
        u.startedMs = 1796083200000;
        u.serial = "SNREAD";
        ASSERT_GT(store->BeginUpdate(u, &error), 0) << error;
    }
    chmod(path.c_str(), 0644);
    chmod(dir.c_str(), 0555);
    chmod(root.path().c_str(), 0755);
    std::vector<std::string> argv;
    if (geteuid() == 0)
        argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.insert(argv.end(), {MODEMFLASH_CLI_PATH, "history", "--history", path});
    std::string out;
    int status = clitest::runToEnd(argv, {}, &out);
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("SNREAD"), std::string::npos) << out;
    EXPECT_EQ(out.find("readonly"), std::string::npos) << out;
}

}  // namespace

#endif
