// ModemManager during `modemflash flash`: a private dbus-daemon stands in for the system bus
// (DBUS_SYSTEM_BUS_ADDRESS) and a mock ModemManager (python-dbusmock) records every
// InhibitDevice call with how much the simulated modem had exchanged at that moment.
#include "cli/system/mm_inhibit.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "support/sim_support.h"
#include "support/test_support.h"

#ifdef MODEMFLASH_CLI_PATH

namespace {

using clitest::ChildProcess;

const char kPython[] = "/usr/bin/python3";  // the system's, which has python3-dbusmock
const char kDbusDaemon[] = "/usr/bin/dbus-daemon";

bool waitForFile(const std::string& path, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (access(path.c_str(), F_OK) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class ModemManagerDuringFlash : public ::testing::Test {
  protected:
    testsupport::TempDir root;
    std::string firmware = root.path() + "/fw";
    std::string busAddress = "unix:path=" + root.path() + "/system_bus_socket";
    std::string record = root.path() + "/mm-calls.txt";
    std::string transcript = root.path() + "/transcript.txt";
    std::unique_ptr<ChildProcess> bus;
    std::unique_ptr<ChildProcess> modemManager;
    modemsim::ModemSim sim;

    void SetUp() override {
        if (access(kDbusDaemon, X_OK) != 0 ||
            clitest::runToEnd({kPython, "-c", "import dbusmock"}, {}, nullptr) != 0)
            GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock (scripts/install-deps.sh)";
        clk_SetScale(100);
        mkdir((root.path() + "/dev").c_str(), 0755);
        mkdir((root.path() + "/sys").c_str(), 0755);
        std::string out;
        ASSERT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "sample", firmware, "--small"}, {}, &out),
                  0)
            << out;
    }
    void TearDown() override {
        sim.stop();
        if (modemManager) modemManager->signal(SIGTERM), modemManager->wait(5000);
        if (bus) bus->signal(SIGTERM), bus->wait(5000);
        clk_SetScale(1);
    }

    // The private system bus, with the mock ModemManager on it unless withModemManager is
    // false.
    void startBus(bool withModemManager = true, bool refuse = false) {
        std::string config = root.path() + "/bus.conf";
        root.write("bus.conf",
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig><type>system</type><listen>" +
                       busAddress +
                       "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                       "<allow user=\"*\"/><allow own=\"*\"/><allow send_type=\"*\"/>"
                       "<allow receive_type=\"*\"/>"
                       "</policy></busconfig>\n");
        bus.reset(new ChildProcess({kDbusDaemon, "--nofork", "--config-file=" + config}, {}));
        ASSERT_TRUE(waitForFile(root.path() + "/system_bus_socket", 10000)) << bus->output();
        if (!withModemManager) return;
        std::string parameters = "{\"record\": \"" + record + "\", \"transcript\": \"" +
                                 transcript + "\", \"refuse\": " + (refuse ? "true" : "false") +
                                 "}";
        modemManager.reset(new ChildProcess(
            {kPython, "-m", "dbusmock", "--system", "--template",
             std::string(MODEMFLASH_SOURCE_DIR) + "/tests/cli/modem_manager_mock.py", "-p",
             parameters},
            {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress}));
        ASSERT_TRUE(waitForFile(record + ".ready", 20000)) << modemManager->output();
    }

    void startModem(const std::string& scenario = "") {
        modemsim::SimOptions o =
            testsupport::simOptions(root.path() + "/dev", root.path() + "/sys", scenario);
        o.republishDelayMs = 100;
        o.transcriptPath = transcript;
        ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    }

    std::vector<std::string> env() const {
        return {"MODEMFLASH_DEV_ROOT=" + root.path() + "/dev",
                "MODEMFLASH_SYSFS_ROOT=" + root.path() + "/sys",
                "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress};
    }
    std::vector<std::string> flashArgs() const {
        return {MODEMFLASH_CLI_PATH,        "flash", firmware, "--time-scale", "100", "--log",
                root.path() + "/engine.log"};
    }
    // The modem's USB device as ModemManager names it: its sysfs directory.
    std::string modemUid() const {
        char resolved[PATH_MAX];
        std::string usb = root.path() + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
        return realpath(usb.c_str(), resolved) ? resolved : usb;
    }
    // Byte records (IN and OUT lines) in the modem's transcript, as the mock counts them.
    std::string exchanges() const {
        int count = 0;
        for (const std::string& line : lines(testsupport::readFile(transcript))) {
            std::istringstream words(line);
            std::string time, direction;
            words >> time >> direction;
            count += direction == "IN" || direction == "OUT";
        }
        return std::to_string(count);
    }
};

TEST_F(ModemManagerDuringFlash, InhibitsBeforeTheFirstByteAndReleasesAfterTheLast) {
    startBus();
    startModem();
    std::string out;
    int status = clitest::runToEnd(flashArgs(), env(), &out);
    sim.stop();
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("ModemManager"), std::string::npos) << out;
    ASSERT_NE(exchanges(), "0");
    EXPECT_EQ(lines(testsupport::readFile(record)),
              (std::vector<std::string>{"inhibit " + modemUid() + " 0",
                                        "release " + modemUid() + " " + exchanges()}));
}

TEST_F(ModemManagerDuringFlash, ReleasesWhenTheUpdateFails) {
    startBus();
    startModem("reject-header archive=1 times=all\n");
    std::string out;
    int status = clitest::runToEnd(flashArgs(), env(), &out);
    sim.stop();
    EXPECT_NE(status, 0) << out;
    EXPECT_EQ(lines(testsupport::readFile(record)),
              (std::vector<std::string>{"inhibit " + modemUid() + " 0",
                                        "release " + modemUid() + " " + exchanges()}));
}

TEST_F(ModemManagerDuringFlash, ReleasesWhenASecondInterruptStopsTheUpdate) {
    startBus();
    startModem("late AT%LOAD ms=150000 times=1\n");
    ChildProcess flash(flashArgs(), clitest::endsAtOnce(env()));
    ASSERT_TRUE(flash.waitFor("file loader.wrapped", 30000)) << flash.output();
    flash.signal(SIGINT);
    ASSERT_TRUE(flash.waitFor("press Ctrl-C again", 5000)) << flash.output();
    flash.signal(SIGINT);
    EXPECT_EQ(flash.wait(10000), 130) << flash.output();
    std::vector<std::string> calls = lines(testsupport::readFile(record));
    ASSERT_EQ(calls.size(), 2u) << testsupport::readFile(record);
    EXPECT_EQ(calls[0], "inhibit " + modemUid() + " 0");
    EXPECT_EQ(calls[1].rfind("release " + modemUid() + " ", 0), 0u) << calls[1];
}

TEST_F(ModemManagerDuringFlash, ARefusalIsOneWarningLineAndTheUpdateGoesOn) {
    startBus(true, true);
    startModem();
    std::string out;
    int status = clitest::runToEnd(flashArgs(), env(), &out);
    EXPECT_EQ(status, 0) << out;
    std::vector<std::string> warnings;
    for (const std::string& line : lines(out))
        if (line.find("ModemManager") != std::string::npos) warnings.push_back(line);
    ASSERT_EQ(warnings.size(), 1u) << out;
    EXPECT_NE(warnings[0].find("warning: ModemManager refused to leave the modem"),
              std::string::npos);
    EXPECT_NE(warnings[0].find("Not authorized"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("may probe the modem's port"), std::string::npos) << warnings[0];
    EXPECT_EQ(lines(testsupport::readFile(record)),
              (std::vector<std::string>{"inhibit " + modemUid() + " 0"}))
        << "nothing held, nothing to release";
}

TEST_F(ModemManagerDuringFlash, NoBusOrNoModemManagerChangesNothing) {
    for (bool withBus : {false, true}) {
        SCOPED_TRACE(withBus ? "a bus without ModemManager" : "no bus at all");
        if (withBus) startBus(false);
        startModem();
        std::string out;
        int status = clitest::runToEnd(flashArgs(), env(), &out);
        sim.stop();
        EXPECT_EQ(status, 0) << out;
        EXPECT_EQ(out.find("ModemManager"), std::string::npos) << out;
        EXPECT_EQ(out.find("bus"), std::string::npos) << out;
        EXPECT_EQ(sim.archives().size(), 7u);
    }
}

TEST(ModemManagerWarning, SaysWhatWasRefusedAndWhatItMayCostOnOneLine) {
    std::string w = mm_RefusalWarning("/sys/devices/x/1-1", "Not authorized (E.Unauthorized)");
    EXPECT_EQ(w.find('\n'), w.size() - 1) << w;
    EXPECT_EQ(w.rfind("modemflash: warning: ModemManager refused", 0), 0u) << w;
    EXPECT_NE(w.find("/sys/devices/x/1-1"), std::string::npos);
    EXPECT_NE(w.find("Not authorized"), std::string::npos);
    EXPECT_NE(w.find("break the update"), std::string::npos);
}

}  // namespace

#endif
