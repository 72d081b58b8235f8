// modemflash flash as a user runs it: the real executable loading the real library.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/modem_lock.h"
#include "support/command_test.h"
#include "support/modem_command_test.h"
#include "support/test_support.h"

#ifdef MODEMFLASH_CLI_PATH

using testsupport::CommandRun;

namespace {

class FlashCommand : public testsupport::ModemCliTest {};

TEST_F(FlashCommand, UpdatesTheSimulatedModemAndSaysSo) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    CommandRun r =
        run("flash " + firmware + " --time-scale 200 --log " + root.path() + "/engine.log", env);
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("file modem.wrapped from 48%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("status: Recupero dati completato!"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result: 100/100"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result 1: update complete"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Loading MDM archive"), std::string::npos)
        << "information lines go to the log file";
    std::string log = testsupport::readFile(root.path() + "/engine.log");
    EXPECT_NE(log.find(": Loading MDM archive ["), std::string::npos) << log;
    EXPECT_EQ(sim.archives().size(), 7u);
    const std::string announced =
        "time scale 200 in force: pauses and time-outs are 200 times shorter; for simulated "
        "modems only\n";
    EXPECT_EQ(r.out.rfind(announced, 0), 0u) << "the opening line: " << r.out;
    struct stat st;
    EXPECT_EQ(stat((root.path() + "/state/modemflash/history.sqlite3").c_str(), &st), 0)
        << "the update is recorded in the default history";
}

TEST_F(FlashCommand, JsonGivesOneObjectPerLine) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    CommandRun r = run("flash " + firmware + " --json --time-scale 200 --log /dev/null",
                       env + " MODEMFLASH_DEV_ROOT=" + root.path() + "/dev");
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(
        r.out.find("{\"type\":\"event\",\"code\":31,\"name\":\"resettomodem\",\"value\":95}\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("{\"type\":\"result\",\"code\":1,"), std::string::npos) << r.out;
}

TEST_F(FlashCommand, NoModemEndsWithTheSearchFailure) {
    CommandRun r = run("flash " + firmware + " --time-scale 1000", env);
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("search port start!\n"), std::string::npos);
    EXPECT_NE(r.out.find("what failed: finding the modem: no modem answered the probe within 60 "
                         "search passes\n"),
              std::string::npos)
        << r.out;
}

TEST_F(FlashCommand, ARefusedFolderSaysWhy) {
    CommandRun missing = run("flash " + root.path() + "/nothing", env);
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(
        missing.out.find("modemflash: refused: there is no folder " + root.path() + "/nothing\n"),
        std::string::npos)
        << missing.out;

    FILE* f = fopen((firmware + "/update_config.ini").c_str(), "w");
    fputs("[update flag]\nupdate_cat=-1\n", f);
    fclose(f);
    CommandRun none = run("flash " + firmware, env);
    EXPECT_EQ(none.status, 3);
    EXPECT_NE(none.out.find("selects no update"), std::string::npos) << none.out;

    // Each refused file on a line of its own, with its reason and the category that chose it.
    f = fopen((firmware + "/update_config.ini").c_str(), "w");
    fputs("[update flag]\nupdate_cat=7;8;9\n", f);
    fclose(f);
    ASSERT_EQ(unlink((firmware + "/modem.wrapped").c_str()), 0);
    ASSERT_EQ(truncate((firmware + "/loader.wrapped").c_str(), 1), 0);
    ASSERT_EQ(unlink((firmware + "/nocd.iso.wrapped").c_str()), 0);
    ASSERT_EQ(mkdir((firmware + "/nocd.iso.wrapped").c_str(), 0755), 0);
    CommandRun files = run("flash " + firmware, env);
    EXPECT_EQ(files.status, 3);
    for (const char* line :
         {"modemflash: refused: loader.wrapped: is not a valid archive (1 byte): incorrect "
          "archive format [loader.wrapped] (chosen by category 7 of update_cat=7;8;9)\n",
          "modemflash: refused: modem.wrapped: is missing (chosen by category 7 of "
          "update_cat=7;8;9)\n",
          "modemflash: refused: nocd.iso.wrapped: is a directory, not a regular file (chosen by "
          "category 8 of update_cat=7;8;9)\n"})
        EXPECT_NE(files.out.find(line), std::string::npos) << line << files.out;
}

// A time scale is announced by the engine when it is first used and repeated by the
// command's opening lines; a value that is not a usable scale is ignored, and that is said.
TEST_F(FlashCommand, ATimeScaleIsNeverPassedOverInSilence) {
    const std::string announced =
        "time scale 250 in force: pauses and time-outs are 250 times shorter; for simulated "
        "modems only\n";
    // A scale in force is announced by the host's opening line and by the engine; a value that
    // is ignored is said so once, by the host, which never asks the engine for it.
    struct Case {
        const char* value;
        std::string notice;
        bool twice;
    } cases[] = {{"250", announced, true},
                 {"1", "", false},
                 {"-3",
                  "time scale \"-3\" ignored: not a number from 1 to 1000000; pauses and "
                  "time-outs keep their real length\n",
                  false}};
    for (const Case& c : cases) {
        CommandRun r =
            run("flash " + root.path() + "/nothing", env + " MODEMFLASH_TIME_SCALE=" + c.value);
        EXPECT_EQ(r.status, 3) << r.out;
        // The host's opening line on standard output, the library's on standard error.
        size_t first = r.out.find(c.notice), second = r.out.find(c.notice, first + 1);
        if (c.notice.empty()) {
            EXPECT_EQ(r.out.find("time scale"), std::string::npos) << r.out;
        } else {
            ASSERT_NE(first, std::string::npos) << c.value << ": " << r.out;
            if (c.twice) {
                EXPECT_NE(second, std::string::npos) << c.value << ": " << r.out;
                EXPECT_EQ(r.out.find(c.notice, second + 1), std::string::npos) << r.out;
            } else {
                EXPECT_EQ(second, std::string::npos) << c.value << ": " << r.out;
            }
        }
    }
}

// --library drives a loaded library through the host contract alone (the ABI check): the
// library takes its time scale from its own environment, and the program passes it nothing.
// At scale 50: at 200 the reopen waits (16 s, 80 ms real) were shorter than a loaded
// machine takes to bring the simulated modem's port back.
TEST_F(FlashCommand, ALoadedLibraryUpdatesThroughTheContractAlone) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    CommandRun r = run("flash " + firmware + " --library " MODEMFLASH_LIBRARY_PATH,
                       env + " MODEMFLASH_TIME_SCALE=50");
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("status: Recupero dati completato!\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result 1: update complete"), std::string::npos) << r.out;
    EXPECT_EQ(sim.archives().size(), 7u);

    for (const char* option : {"--time-scale 200", "--log x.log"}) {
        CommandRun refused =
            run("flash " + firmware + " --library " MODEMFLASH_LIBRARY_PATH " " + option, env);
        EXPECT_EQ(refused.status, 2) << option;
        EXPECT_NE(refused.out.find("a library loaded with --library takes the host contract alone"),
                  std::string::npos)
            << refused.out;
    }
}

TEST_F(FlashCommand, AMissingLibraryIsReported) {
    CommandRun r = run("flash " + firmware + " --library " + root.path() + "/nolib.so", env);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot load"), std::string::npos) << r.out;
}

// Two `flash` on one modem: the second, started while the first holds the modem, names the
// process that updates it and since when, and leaves with status 8 without a byte to the
// modem; the first update is not disturbed and completes.
TEST_F(FlashCommand, ASecondFlashOnOneModemNamesTheFirstAndLeavesItAlone) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    const std::string dir = root.path();
    {
        std::ofstream script(dir + "/two.sh");
        script << "export " << env << "\n"
               << MODEMFLASH_CLI_PATH << " flash " << firmware
               << " --time-scale 20 --log /dev/null > " << dir << "/first.txt 2>&1 &\n"
               << "first=$!\n"
               // The first holds the modem once its lock file names it.
               << "for i in $(seq 400); do grep -qs . " << dir
               << "/dev/.locks/* && break; sleep 0.01; done\n"
               << "echo first=$first\n"
               << MODEMFLASH_CLI_PATH << " flash " << firmware << " --time-scale 20 2>&1\n"
               << "echo second-status=$?\n"
               << "wait $first\n"
               << "echo first-status=$?\n";
    }
    CommandRun r = testsupport::runCommand("sh", dir + "/two.sh", "");
    sim.stop();
    std::string first = testsupport::readFile(dir + "/first.txt");
    size_t at = r.out.find("first=");
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string pid = r.out.substr(at + 6, r.out.find('\n', at) - at - 6);
    EXPECT_NE(r.out.find("the modem at 1-1 (COM65) is being updated by process " + pid +
                         " (" MODEMFLASH_CLI_PATH " flash " + firmware),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(") since 20"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("second-status=8\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("first-status=0\n"), std::string::npos) << r.out << first;
    EXPECT_NE(first.find("result 1: update complete"), std::string::npos) << first;
    EXPECT_EQ(sim.archives().size(), 7u) << "one update, whole";
}

// A lock left by a process that ended without releasing it is taken over, saying whose it was.
TEST_F(FlashCommand, AStaleLockIsTakenOverSayingSo) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    setenv("MODEMFLASH_DEV_ROOT", (root.path() + "/dev").c_str(), 1);
    pid_t holder = fork();
    if (holder == 0) {
        ModemLock* lock = nullptr;
        _exit(modemlock_Acquire("1-1", "SIM0001", "COM65", &lock, nullptr) == MODEM_LOCK_TAKEN
                  ? 0
                  : 1);  // ends holding it
    }
    int status = -1;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    unsetenv("MODEMFLASH_DEV_ROOT");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CommandRun r = run("flash " + firmware + " --time-scale 200 --log /dev/null", env);
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("took over the lock of the modem at 1-1 (COM65) left by process " +
                         std::to_string(holder)),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("that process has ended"), std::string::npos) << r.out;
}

// A port another program holds open is busy (status 8), not "no modem answered".
TEST_F(FlashCommand, APortAnotherProgramHoldsIsBusy) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    int fd = open((root.path() + "/dev/ttyACM0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    CommandRun r = run("flash " + firmware + " --time-scale 1000", env);
    close(fd);
    EXPECT_EQ(r.status, 8) << r.out;
    EXPECT_NE(r.out.find("COM65 is held by another program"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("no modem answered"), std::string::npos) << r.out;
    EXPECT_TRUE(sim.commands().empty());
}

}  // namespace

#endif
