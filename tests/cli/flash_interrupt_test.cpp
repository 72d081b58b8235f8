// Ctrl-C during `modemflash flash`: the real executable updating the simulated modem.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "child_process.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "support/sim_support.h"
#include "support/test_support.h"

#ifdef MODEMFLASH_CLI_PATH

namespace {

using clitest::ChildProcess;

class FlashInterrupt : public ::testing::Test {
  protected:
    testsupport::TempDir root;
    std::string firmware = root.path() + "/fw";
    std::vector<std::string> env = {"MODEMFLASH_DEV_ROOT=" + root.path() + "/dev",
                                    "MODEMFLASH_SYSFS_ROOT=" + root.path() + "/sys"};
    modemsim::ModemSim sim;
    void TearDown() override { clk_SetScale(1); }

    void SetUp() override {
        clk_SetScale(100);  // the simulated modem runs on this process's clock, as fast as the host
        mkdir((root.path() + "/dev").c_str(), 0755);
        mkdir((root.path() + "/sys").c_str(), 0755);
        std::string out;
        ASSERT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "sample", firmware, "--small"}, {}, &out),
                  0)
            << out;
        modemsim::SimOptions o = testsupport::simOptions(root.path() + "/dev", root.path() + "/sys",
                                                         "late AT%LOAD ms=150000 times=1\n");
        o.republishDelayMs = 100;
        // The first archive's transfer waits 1.5 s (real) in loader mode: time for the signals.
        ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    }
    std::vector<std::string> flashArgs() const {
        return {MODEMFLASH_CLI_PATH,        "flash", firmware, "--time-scale", "100", "--log",
                root.path() + "/engine.log"};
    }
};

TEST_F(FlashInterrupt, OneInterruptInLoaderModeWarnsAndTheUpdateCompletes) {
    ChildProcess flash(flashArgs(), env);
    ASSERT_TRUE(flash.waitFor("file loader.wrapped", 30000)) << flash.output();
    flash.signal(SIGINT);
    int status = flash.wait(60000);
    std::string out = flash.output();
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("interrupt: stopping now would leave the modem in loader mode with "
                       "loader.wrapped half written"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("press Ctrl-C again to stop anyway"), std::string::npos) << out;
    EXPECT_NE(out.find("result 1: update complete"), std::string::npos) << out;
    sim.stop();
    EXPECT_EQ(sim.archives().size(), 7u);
}

TEST_F(FlashInterrupt, ASecondInterruptStopsWith130AndLeavesTheRestUnsent) {
    ChildProcess flash(flashArgs(), clitest::endsAtOnce(env));
    ASSERT_TRUE(flash.waitFor("file loader.wrapped", 30000)) << flash.output();
    flash.signal(SIGINT);
    ASSERT_TRUE(flash.waitFor("press Ctrl-C again", 5000)) << flash.output();
    flash.signal(SIGINT);
    int status = flash.wait(10000);
    std::string out = flash.output();
    EXPECT_EQ(status, 130) << out;
    EXPECT_NE(out.find("stopped by a second interrupt"), std::string::npos) << out;
    EXPECT_EQ(out.find("result 1"), std::string::npos) << out;
    sim.stop();
    EXPECT_TRUE(sim.archives().empty());
    EXPECT_EQ(sim.mode(), 1) << "the modem is left in loader mode, as the notice said";
}

}  // namespace

#endif
