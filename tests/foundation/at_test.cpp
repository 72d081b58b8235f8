// The AT exchange against a scripted peer on a pty.
#include "engine/at.h"

#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "engine/port_context.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "report/log.h"
#include "support/test_support.h"

using testsupport::CapturedStream;
using testsupport::PtyPeer;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

constexpr int kPort = 2;

class AtExchange : public ::testing::Test {
  protected:
    TempDir dev;
    ScopedEnv devRoot{"MODEMFLASH_DEV_ROOT", dev.path()};
    std::unique_ptr<PtyPeer> peer;
    std::thread script;

    void SetUp() override {
        peer = std::make_unique<PtyPeer>(dev.path(), "ttyACM3");
        ASSERT_NE(com_Open(kPort, "COM68"), nullptr);
    }
    void TearDown() override {
        if (script.joinable()) script.join();
        com_Close(kPort);
        for (int op = 0; op < SERIAL_OP_COUNT; ++op) serial_InjectFailure(op, 0);
        clk_SetScale(1);
    }
    // The peer waits for a whole command line, then answers with the pieces in turn.
    void answer(std::vector<std::string> pieces, int gapMs = 30) {
        script = std::thread([this, pieces, gapMs] {
            peer->receiveUntil("\r\n");
            for (const std::string& p : pieces) {
                peer->send(p);
                clk_SleepMs(static_cast<uint32_t>(gapMs));
            }
        });
    }
};

TEST_F(AtExchange, SendsTheFormattedCommandWithOnePercentSign) {
    std::string seen;
    script = std::thread([&] {
        seen = peer->receiveUntil("\r\n");
        peer->send("\r\nOK\r\n");
    });
    EXPECT_EQ(at_Send(kPort, "AT%%MODE=%d\r\n", 1), 1);
    script.join();
    EXPECT_EQ(seen, "AT%MODE=1\r\n");
    EXPECT_STREQ(reinterpret_cast<const char*>(ctx_Get(kPort)->txBuf), "AT%MODE=1\r\n");
}

TEST_F(AtExchange, MarkerSplitAcrossReadsIsFound) {
    answer({"\r\n%MODE: 1\r\n\r\nO", "K\r\n"}, 40);
    EXPECT_EQ(at_Send(kPort, "AT%%MODE?\r\n"), 1);
    EXPECT_STREQ(at_Response(kPort), "\r\n%MODE: 1\r\n\r\nOK\r\n");
}

TEST_F(AtExchange, ErrorThenOkCountsAsSuccess) {
    answer({"\r\nERROR\r\n\r\nOK\r\n"});
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), 1);
}

TEST_F(AtExchange, ErrorAloneIsRefusal) {
    answer({"\r\nERROR\r\n"});
    EXPECT_EQ(at_Send(kPort, "AT%%LOAD\r\n"), 0);
}

TEST_F(AtExchange, SilenceTimesOutAfterTheTimeoutAndKeepsThePartialAnswer) {
    clk_SetScale(200);
    at_SetTimeout(kPort, 2);
    answer({"\r\npartial"});
    CapturedStream err(2);
    int64_t start = clk_NowMs();
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), -1);
    int64_t took = clk_NowMs() - start;
    EXPECT_GE(took, 2000);   // more than the time-out, counted in whole seconds
    EXPECT_LT(took, 60000);  // generous: a loaded machine may be late
    EXPECT_EQ(err.text(), "#ERROR: timeout\n\n");
    EXPECT_STREQ(at_Response(kPort), "\r\npartial");
}

TEST_F(AtExchange, TimeIsTestedBeforeTheMarkers) {
    at_SetTimeout(kPort, -1);  // expired before the first read ends
    peer->send("\r\nOK\r\n");  // the answer is already there for that first read
    CapturedStream err(2);
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), -1);
    EXPECT_STREQ(at_Response(kPort), "\r\nOK\r\n");
}

TEST_F(AtExchange, FiveThousandFailedReadsAreTolerated) {
    serial_InjectFailure(SERIAL_OP_READ, 5000);
    peer->send("\r\nOK\r\n");
    CapturedStream err(2);
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), 1);
}

TEST_F(AtExchange, TheFiveThousandFirstFailedReadEndsTheExchange) {
    serial_InjectFailure(SERIAL_OP_READ, 5001);
    peer->send("\r\nOK\r\n");
    CapturedStream err(2);
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), 0);
    std::string text = err.text();
    size_t lines = 0;
    for (size_t p = text.find("#Error: ReadFile"); p != std::string::npos;
         p = text.find("#Error: ReadFile", p + 1))
        ++lines;
    // The console folds the identical lines: one, and how often it came.
    EXPECT_EQ(lines, 1u);
    log_FlushPort(kPort);
    EXPECT_NE(err.text().find("(the line above came 5000 more times)"), std::string::npos);
    EXPECT_EQ(text.find("timeout"), std::string::npos);
}

TEST_F(AtExchange, OnlyAReadWithDataResetsTheFailedReadCount) {
    // 3000 failures, data, 3000 more: the count restarted, so the OK that follows is taken.
    serial_InjectFailure(SERIAL_OP_READ, 3000);
    script = std::thread([this] {
        peer->send("\r\n");
        clk_SleepMs(50);
        serial_InjectFailure(SERIAL_OP_READ, 3000);
        peer->send("OK\r\n");
    });
    CapturedStream err(2);
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), 1);
}

TEST_F(AtExchange, ANulInTheAnswerHidesWhatFollows) {
    clk_SetScale(500);
    at_SetTimeout(kPort, 1);
    static const char answerBytes[] = "\r\nX\0\r\nOK\r\n";
    script = std::thread([this] {
        peer->receiveUntil("\r\n");
        peer->send(answerBytes, sizeof answerBytes - 1);
    });
    CapturedStream err(2);
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), -1);
    EXPECT_STREQ(at_Response(kPort), "\r\nX");
}

TEST_F(AtExchange, AFullBufferWithoutMarkerEndsOnlyByTimeout) {
    // The time-out (3 s at scale 5: 600 ms of real time) must outlast the flood's passage
    // through the pty on a loaded machine: the buffer has to be full before it runs out.
    clk_SetScale(5);
    at_SetTimeout(kPort, 3);
    std::atomic<bool> sent{false};
    script = std::thread([this, &sent] {
        peer->receiveUntil("\r\n");
        std::string flood(65535, 'x');  // fills the answer buffer exactly
        peer->send(flood);
        peer->send("\r\nOK\r\n");
        sent = true;
    });
    CapturedStream err(2);
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), -1);
    EXPECT_EQ(strlen(at_Response(kPort)), 65535u);
    EXPECT_EQ(ctx_Get(kPort)->rxBuf[65535], 0);
    // Take what the full buffer left on the line, so that the peer is not kept waiting.
    char sink[256];
    for (int i = 0; i < 1000 && !sent; ++i) {
        if (com_Read(kPort, sink, sizeof sink) <= 0) clk_SleepMs(5);
    }
}

TEST_F(AtExchange, ExpectWithANullMarkerReturnsAfterTheWriteAndLeavesTheAnswer) {
    memcpy(ctx_Get(kPort)->rxBuf, "old answer", 11);
    EXPECT_EQ(at_SendExpect(kPort, nullptr, AT_ERROR_MARKER, "AT%%DEBUG=99\r\n"), 1);
    EXPECT_EQ(peer->receiveUntil("\r\n"), "AT%DEBUG=99\r\n");
    EXPECT_STREQ(at_Response(kPort), "old answer");
}

TEST_F(AtExchange, ExpectWithoutCommandOnlyListens) {
    peer->send("\r\nREADY\r\n");
    EXPECT_EQ(at_SendExpect(kPort, "READY", "FAIL", nullptr), 1);
    EXPECT_EQ(peer->receive(50), "");
}

TEST_F(AtExchange, ExpectPrefersSuccessWhenBothMarkersCame) {
    answer({"FAIL then GOOD"});
    EXPECT_EQ(at_SendExpect(kPort, "GOOD", "FAIL", "AT\r\n"), 1);
}

TEST_F(AtExchange, AFailedWriteIsReportedAndNothingIsRead) {
    serial_InjectFailure(SERIAL_OP_WRITE, 1);
    CapturedStream err(2);
    EXPECT_EQ(at_Send(kPort, "AT%%PROG=%d\r\n", 2), -2);
    std::string text = err.text();
    EXPECT_NE(text.find("\n#Error: WriteFile, errno="), std::string::npos);
    EXPECT_NE(text.find("\nfailed to write [AT%PROG=2\r\n], errno="), std::string::npos) << text;
}

TEST(AtSleep, SleepsWholeScaledSeconds) {
    clk_SetScale(1000);
    int64_t start = clk_NowMs();
    sys_Sleep(2);
    int64_t took = clk_NowMs() - start;
    clk_SetScale(1);
    EXPECT_GE(took, 2000);
    EXPECT_LT(took, 200000);  // generous: a loaded machine may be late
}

}  // namespace
