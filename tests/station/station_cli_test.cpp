// modemflash flash --all / --at and modemflash watch, as a user runs them, against simulated
// modems in this process.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "modem_bank.h"
#include "platform/clock.h"
#include "support/command_test.h"
#include "support/test_support.h"

#ifdef MODEMFLASH_CLI_PATH

using testsupport::CommandRun;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class StationCommand : public testsupport::CliTest {
  protected:
    modemsim::ModemBank bank;
    void SetUp() override {
        clk_SetScale(50);
        CliTest::SetUp();
    }
    void TearDown() override {
        bank.stop();
        clk_SetScale(1);
    }
    void startModems(int count, std::map<int, std::string> faults = {}) {
        modemsim::BankOptions o;
        o.devRoot = root.path() + "/dev";
        o.sysfsRoot = root.path() + "/sys";
        o.count = count;
        o.scenarios = faults;
        std::string why;
        ASSERT_TRUE(bank.start(o, &why)) << why;
    }
};

TEST_F(StationCommand, AllUpdatesEveryModemWithLocationLinesLogsAndASummary) {
    startModems(2);
    std::string logs = root.path() + "/logs";
    CommandRun r = run("flash " + firmware + " --all --time-scale 50 --log " + logs, env);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("1-1.1: update begins on COM6"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1-1.2: updated ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sending file 4 of 7 modem.wrapped"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 of 2 modem(s) updated; 0 failed"), std::string::npos) << r.out;
    // One log file per modem, each with its own port's lines only.
    std::string one = readAll(logs + "/1-1.1.log"), two = readAll(logs + "/1-1.2.log");
    EXPECT_NE(one.find("Programing flash"), std::string::npos);
    EXPECT_NE(two.find("Programing flash"), std::string::npos);
    EXPECT_EQ(one.find("[1-1.2]"), std::string::npos);
    bank.stop();
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(bank.modem(i).hasFlash(0));
    // Each modem's update is recorded, with its location, serial number and log file.
    CommandRun history = run("history --json", env);
    EXPECT_EQ(history.status, 0) << history.out;
    for (int i = 0; i < 2; ++i) {
        std::string l = modemsim::bank_Location(i);
        EXPECT_NE(history.out.find("\"location\":\"" + l + "\",\"serial\":\"" +
                                   modemsim::bank_Serial(i) + "\""),
                  std::string::npos)
            << history.out;
        EXPECT_NE(history.out.find("\"log\":\"" + logs + "/" + l + ".log\""), std::string::npos)
            << history.out;
    }
    size_t updated = 0;
    for (size_t p = 0; (p = history.out.find("\"result\":1,", p)) != std::string::npos; ++p)
        ++updated;
    EXPECT_EQ(updated, 2u) << history.out;
}

TEST_F(StationCommand, JsonObjectsCarryTheLocation) {
    startModems(2);
    CommandRun r = run("flash " + firmware + " --all --json --time-scale 50", env + " ");
    EXPECT_EQ(r.status, 0) << r.out;
    std::istringstream lines(r.out);
    std::string line;
    int objects = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] != '{') continue;
        ++objects;
        bool summary = line.find("\"type\":\"summary\"") != std::string::npos;
        if (!summary) {
            EXPECT_NE(line.find("\"location\":\"1-1."), std::string::npos) << line;
        }
    }
    EXPECT_GT(objects, 10);
    EXPECT_NE(
        r.out.find("{\"type\":\"summary\",\"modems\":2,\"updated\":2,\"failed\":0,\"exit\":0}"),
        std::string::npos);
}

TEST_F(StationCommand, TheFirstFailureInLocationOrderGivesTheStatus) {
    startModems(3, {{1, "refuse AT%PROG=2 times=all\nrefuse AT%PROG=1 times=all\n"},
                    {2, "never-return switch=1\n"}});
    CommandRun r = run("flash " + firmware + " --all --time-scale 50", env);
    EXPECT_EQ(r.status, 5) << r.out;  // 1-1.2 refused to program; 1-1.3's mode failure is later
    EXPECT_NE(r.out.find("1 of 3 modem(s) updated; 2 failed"), std::string::npos) << r.out;
}

TEST_F(StationCommand, BadLocationsAndOptions) {
    startModems(1);
    CommandRun r = run("flash " + firmware + " --at 3-3 --time-scale 50", env);
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("station: no modem port at location 3-3"), std::string::npos) << r.out;
    EXPECT_TRUE(bank.modem(0).commands().empty());
    EXPECT_EQ(run("flash " + firmware + " --all --at 1-1.1", env).status, 2);
    EXPECT_EQ(run("flash " + root.path() + "/nothing --all", env).status, 3);
}

TEST_F(StationCommand, WatchUpdatesEachModemOnceAndStopsAtCtrlC) {
    startModems(2);
    std::string out = root.path() + "/watch.out";
    std::string cmd = env + " exec " MODEMFLASH_CLI_PATH " watch " + firmware +
                      " --time-scale 50 > " + out + " 2>&1";
    pid_t pid;
    const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    // Both updated, then some more polls in which nothing is updated twice.
    for (int i = 0; i < 600 && readAll(out).find("1-1.2: updated") == std::string::npos; ++i)
        usleep(50000);
    for (int i = 0; i < 600 && readAll(out).find("1-1.1: updated") == std::string::npos; ++i)
        usleep(50000);
    usleep(300000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string text = readAll(out);
    ASSERT_TRUE(WIFEXITED(status)) << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("2 of 2 modem(s) updated; 0 failed"), std::string::npos) << text;
    bank.stop();
    for (int i = 0; i < 2; ++i) {
        std::vector<std::string> c = bank.modem(i).commands();
        EXPECT_EQ(std::count(c.begin(), c.end(), "AT%DEBUG=99"), 1) << "updated twice";
    }
}

}  // namespace

#endif
