// The AT probes of the port search, against a scripted peer on a pty.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "host/downloader.h"
#include "locator/probe_port.h"
#include "platform/clock.h"
#include "support/test_support.h"

using testsupport::PtyPeer;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

class Probe : public ::testing::Test {
  protected:
    TempDir dev;
    ScopedEnv devRoot{"MODEMFLASH_DEV_ROOT", dev.path()};
    std::unique_ptr<PtyPeer> peer;
    std::thread script;
    std::atomic<bool> stop{false};
    CAtProber prober;

    void SetUp() override {
        clk_SetScale(10);  // the 500 ms reply wait takes 50 ms
        peer = std::make_unique<PtyPeer>(dev.path(), "ttyACM1");
    }
    void TearDown() override {
        stop = true;
        if (script.joinable()) script.join();
        prober.Port().Close();
        clk_SetScale(1);
    }
    // Answers each probe command with the given reply, after delayMs of real time.
    void answerWith(const std::string& atReply, const std::string& atiReply, int delayMs = 0) {
        script = std::thread([=] {
            std::string seen;
            while (!stop) {
                seen += peer->receive(20, 5);
                size_t cr = seen.find('\r');
                if (cr == std::string::npos) continue;
                std::string command = seen.substr(0, cr);
                seen.erase(0, cr + 1);
                if (delayMs) usleep(static_cast<useconds_t>(delayMs) * 1000);
                peer->send(command == "AT" ? atReply : atiReply);
            }
        });
    }
};

TEST_F(Probe, AModemAnsweringOkIsFoundByTheFirstProbe) {
    answerWith("AT\r\r\nOK\r\n", "ERROR");
    ASSERT_EQ(prober.Port().Open(66, 115200, 8, 1), 1);
    EXPECT_TRUE(prober.ProbeAT());
}

TEST_F(Probe, OkWithoutCarriageReturnPassesOnlyTheSecondProbe) {
    answerWith("OK", "OK");
    ASSERT_EQ(prober.Port().Open(66, 115200, 8, 1), 1);
    EXPECT_FALSE(prober.ProbeAT());
    EXPECT_TRUE(prober.ProbeATI());
    EXPECT_TRUE(prober.Probe());
}

TEST_F(Probe, ADeviceAnsweringOnlyAtiIsAccepted) {
    answerWith("\r\nERROR\r\n", "Modem\r\nOK");
    ASSERT_EQ(prober.Port().Open(66, 115200, 8, 1), 1);
    EXPECT_TRUE(prober.Probe());
}

TEST_F(Probe, AReplyAfterTheWaitDoesNotCount) {
    answerWith("\r\nOK\r\n", "\r\nOK\r\n", 150);  // the wait is 50 ms
    ASSERT_EQ(prober.Port().Open(66, 115200, 8, 1), 1);
    EXPECT_FALSE(prober.ProbeAT());
}

TEST_F(Probe, AReplyLongerThanTheBufferIsReadWithoutOverflow) {
    answerWith(std::string(400, 'x') + "OK\r", std::string(400, 'y'));
    ASSERT_EQ(prober.Port().Open(66, 115200, 8, 1), 1);
    EXPECT_FALSE(prober.ProbeAT()) << "the marker lies beyond the 127 bytes read";
}

TEST_F(Probe, OlderInputIsPurgedBeforeTheProbe) {
    ASSERT_EQ(prober.Port().Open(66, 115200, 8, 1), 1);
    peer->send("OK\r");
    usleep(20000);
    answerWith("", "");
    EXPECT_FALSE(prober.ProbeAT());
}

TEST_F(Probe, ClosedOrMissingPortsFailQuietly) {
    EXPECT_FALSE(prober.ProbeAT());
    EXPECT_EQ(prober.Port().Open(0, 115200, 8, 1), 0);
    EXPECT_EQ(prober.Port().Open(99, 115200, 8, 1), 0);
    EXPECT_EQ(prober.Port().BytesWaiting(), 0);
    EXPECT_EQ(prober.Port().Close(), 1);
}

TEST_F(Probe, OpeningAnOpenPortChangesNothing) {
    ASSERT_EQ(prober.Port().Open(66, 115200, 8, 1), 1);
    EXPECT_EQ(prober.Port().Open(99, 115200, 8, 1), 1);
}

}  // namespace
