// modemflash flash as a user runs it: the real executable loading the real library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "modem_sim.h"
#include "support/test_support.h"

#ifdef MODEMFLASH_CLI_PATH

using testsupport::TempDir;

namespace {

struct CommandRun {
    int status;
    std::string out;
};

CommandRun run(const std::string& args, const std::string& env = "") {
    std::string cmd = env + " " MODEMFLASH_CLI_PATH " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    CommandRun r{-1, ""};
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

class FlashCommand : public ::testing::Test {
  protected:
    TempDir root;
    std::string firmware = root.path() + "/fw";
    std::string env =
        "MODEMFLASH_DEV_ROOT=" + root.path() + "/dev MODEMFLASH_SYSFS_ROOT=" + root.path() + "/sys";
    void SetUp() override {
        mkdir((root.path() + "/dev").c_str(), 0755);
        mkdir((root.path() + "/sys").c_str(), 0755);
        ASSERT_EQ(run("sample " + firmware + " --small").status, 0);
    }
};

TEST_F(FlashCommand, UpdatesTheSimulatedModemAndSaysSo) {
    modemsim::SimOptions o;
    o.devRoot = root.path() + "/dev";
    o.sysfsRoot = root.path() + "/sys";
    o.republishDelayMs = 100;
    modemsim::ModemSim sim;
    std::string why;
    ASSERT_TRUE(sim.start(o, &why)) << why;
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
}

TEST_F(FlashCommand, JsonGivesOneObjectPerLine) {
    modemsim::SimOptions o;
    o.devRoot = root.path() + "/dev";
    o.sysfsRoot = root.path() + "/sys";
    o.republishDelayMs = 100;
    modemsim::ModemSim sim;
    std::string why;
    ASSERT_TRUE(sim.start(o, &why)) << why;
    CommandRun r = run("flash " + firmware + " --json --time-scale 200 --log /dev/null",
                       env + " MODEMFLASH_DEV_ROOT=" + o.devRoot);
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
    EXPECT_NE(r.out.find("no modem answered on any serial port within the 60 search passes"),
              std::string::npos)
        << r.out;
}

TEST_F(FlashCommand, ARefusedFolderSaysWhy) {
    CommandRun missing = run("flash " + root.path() + "/nothing", env);
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.out.find("update_config.ini cannot be read"), std::string::npos)
        << missing.out;

    FILE* f = fopen((firmware + "/update_config.ini").c_str(), "w");
    fputs("[update flag]\nupdate_cat=-1\n", f);
    fclose(f);
    CommandRun none = run("flash " + firmware, env);
    EXPECT_EQ(none.status, 3);
    EXPECT_NE(none.out.find("selects no update"), std::string::npos) << none.out;

    f = fopen((firmware + "/update_config.ini").c_str(), "w");
    fputs("[update flag]\nupdate_cat=7\n", f);
    fclose(f);
    ASSERT_EQ(truncate((firmware + "/modem.wrapped").c_str(), 1), 0);
    CommandRun shortFile = run("flash " + firmware, env);
    EXPECT_EQ(shortFile.status, 3);
    EXPECT_NE(shortFile.out.find("missing, unreadable or shorter than 2 bytes"), std::string::npos)
        << shortFile.out;
}

TEST_F(FlashCommand, AMissingLibraryIsReported) {
    CommandRun r = run("flash " + firmware + " --library " + root.path() + "/nolib.so", env);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot load"), std::string::npos) << r.out;
}

}  // namespace

#endif
