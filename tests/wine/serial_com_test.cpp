// The Windows serial backend on a real COM port: the simulated modem's pty, mapped to
// MODEMFLASH_TEST_COM by scripts/test-windows.sh. Without that variable the tests skip.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/clock.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "platform/serial_tap.h"

namespace {

const uint32_t kMax = UINT32_MAX;
const int kIoDeviceError = 1117;  // what an injected failure leaves, like EIO on POSIX
const int kAccessDenied = 5;

int64_t realMs() {
    return clk_RealNowUs() / 1000;
}

class ComPort : public ::testing::Test {
  protected:
    const char* com = nullptr;
    SerialHandle h = nullptr;

    void SetUp() override {
        clk_SetScale(1);
        com = env_Get("MODEMFLASH_TEST_COM");
        if (com == nullptr || *com == '\0')
            GTEST_SKIP() << "needs MODEMFLASH_TEST_COM: a simulated modem on a COM port";
    }
    void TearDown() override {
        for (int op = 0; op < SERIAL_OP_COUNT; ++op) serial_InjectFailure(op, 0);
        if (h) serial_Close(h);
    }

    // The engine channel's settings: 10/0/10 read, 200 ms write, 115200 8N1 with handshake.
    void openSync() {
        h = serial_Open(com, SERIAL_OPEN_SYNC);
        ASSERT_NE(h, nullptr) << "error " << err_Last();
        SerialTimeouts t{10, 0, 10, 0, 200};
        ASSERT_EQ(serial_SetTimeouts(h, &t), 1);
        SerialLine line{115200, 8, 1, SERIAL_PARITY_NONE, 0, 1, 0, 1, 0, 0, 1};
        ASSERT_EQ(serial_SetLine(h, &line), 1);
        ASSERT_EQ(serial_Purge(h, SERIAL_PURGE_RX_CLEAR | SERIAL_PURGE_TX_CLEAR), 1);
    }

    // The probe's settings on an overlapped handle.
    void openProbe() {
        h = serial_Open(com, SERIAL_OPEN_OVERLAPPED);
        ASSERT_NE(h, nullptr) << "error " << err_Last();
        SerialLine line{115200, 8, 1, SERIAL_PARITY_NONE, 0, 0, 0, 1, 0, 0, 0};
        ASSERT_EQ(serial_SetLine(h, &line), 1);
        ASSERT_EQ(serial_SetupQueues(h, 4096, 4096), 1);
        ASSERT_EQ(serial_SetEventMask(h, 0x78), 1);
        SerialTimeouts t{kMax, kMax, 30000, 1, 50};
        ASSERT_EQ(serial_SetTimeouts(h, &t), 1);
        ASSERT_EQ(serial_Purge(h, 15), 1);
    }

    // Reads with the sync handle until marker has come or ms pass.
    std::string readUntil(const char* marker, int ms) {
        std::string got;
        int64_t end = realMs() + ms;
        char buf[256];
        while (got.find(marker) == std::string::npos && realMs() < end) {
            int n = serial_Read(h, buf, sizeof buf);
            if (n < 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
};

TEST_F(ComPort, TheChannelSettingsReadBack) {
    openSync();
    SerialTimeouts t{};
    ASSERT_EQ(serial_GetTimeouts(h, &t), 1);
    EXPECT_EQ(t.readInterval, 10u);
    EXPECT_EQ(t.readConstant, 10u);
    EXPECT_EQ(t.writeConstant, 200u);
    SerialLine line{};
    ASSERT_EQ(serial_GetLine(h, &line), 1);
    EXPECT_EQ(line.baud, 115200u);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.stopBits, 1);
    EXPECT_EQ(line.parity, SERIAL_PARITY_NONE);
    EXPECT_EQ(line.ctsFlow, 1);
    EXPECT_EQ(line.dtrEnable, 1);
    // RTS handshaking reads back as "RTS enabled" under Wine (fRtsControl 1, not 2), so
    // line.rtsHandshake cannot be checked here; on Windows it reads back as set.
}

TEST_F(ComPort, AnAtCommandIsAnswered) {
    openSync();
    ASSERT_EQ(serial_Write(h, "AT\r", 3), 3);
    std::string got = readUntil("OK", 2000);
    EXPECT_NE(got.find("OK"), std::string::npos) << got;
}

TEST_F(ComPort, AReadOfAQuietPortReturnsNothingAfterAboutTenMilliseconds) {
    openSync();
    char buf[64];
    int64_t start = clk_RealNowUs();
    EXPECT_EQ(serial_Read(h, buf, sizeof buf), 0);
    int64_t tookUs = clk_RealNowUs() - start;
    EXPECT_GE(tookUs, 5000);
    EXPECT_LT(tookUs, 200000);
}

TEST_F(ComPort, BytesWaitingCountsTheQueuedAnswer) {
    openSync();
    ASSERT_EQ(serial_Write(h, "ATI\r", 4), 4);
    clk_SleepMs(400);
    int waiting = serial_BytesWaiting(h);
    ASSERT_GT(waiting, 0);
    char buf[512];
    int n = serial_Read(h, buf, sizeof buf - 1);
    ASSERT_EQ(n, waiting);
    buf[n] = '\0';
    EXPECT_NE(strstr(buf, "OK"), nullptr) << buf;
    EXPECT_EQ(serial_BytesWaiting(h), 0);
}

TEST_F(ComPort, TheProbeExchangeWorksOverlapped) {
    openProbe();
    ASSERT_EQ(serial_Purge(h, 15), 1);
    ASSERT_EQ(serial_WriteWait(h, "AT\r", 3, 10000), 3);
    clk_SleepMs(500);
    int waiting = serial_BytesWaiting(h);
    ASSERT_GT(waiting, 0);
    char buf[128] = {0};
    int n = serial_ReadWait(h, buf, waiting < 127 ? waiting : 127, 2000);
    ASSERT_GT(n, 0);
    EXPECT_NE(strstr(buf, "OK\r"), nullptr) << buf;
}

// What the Windows backend tells a session recorder, on both kinds of handle.
struct TapLog {
    std::string ops;    // one letter per call: O open, L line, T time-outs, P purge, W, R, C
    std::string wrote;  // the bytes written
    std::string read;   // the bytes read
    int opened = 0, closed = 0;
    static void tap(void* self, const SerialTapEvent* e) {
        TapLog* l = static_cast<TapLog*>(self);
        const char* letters = "?OCTLQMPWRG";
        l->ops += letters[e->op >= 1 && e->op <= SERIAL_TAP_GONE ? e->op : 0];
        if (e->op == SERIAL_TAP_WRITE && e->result > 0)
            l->wrote.append(static_cast<const char*>(e->data), static_cast<size_t>(e->result));
        if (e->op == SERIAL_TAP_READ && e->result > 0)
            l->read.append(static_cast<const char*>(e->data), static_cast<size_t>(e->result));
        if (e->op == SERIAL_TAP_OPEN) l->opened += e->result;
        if (e->op == SERIAL_TAP_CLOSE) l->closed += e->result;
    }
};

TEST_F(ComPort, TheTapSeesTheChannelAndTheProbe) {
    TapLog log;
    serial_SetTap(&TapLog::tap, &log);
    openSync();
    ASSERT_EQ(serial_Write(h, "AT\r", 3), 3);
    std::string got = readUntil("OK", 2000);
    ASSERT_EQ(serial_Close(h), 1);
    h = nullptr;
    openProbe();
    ASSERT_EQ(serial_WriteWait(h, "ATI\r", 4, 10000), 4);
    clk_SleepMs(500);
    char buf[128] = {0};
    int waiting = serial_BytesWaiting(h);
    int n = waiting > 0 ? serial_ReadWait(h, buf, waiting < 127 ? waiting : 127, 2000) : 0;
    ASSERT_EQ(serial_Close(h), 1);
    h = nullptr;
    EXPECT_EQ(serial_Open("COM250", SERIAL_OPEN_SYNC), nullptr);
    serial_SetTap(nullptr, nullptr);
    EXPECT_EQ(log.ops.substr(0, 5), "OTLPW") << log.ops;
    EXPECT_EQ(log.wrote, "AT\rATI\r");
    EXPECT_EQ(log.read, got + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
    EXPECT_EQ(log.opened, 2);
    EXPECT_EQ(log.closed, 2);
    EXPECT_EQ(log.ops.back(), 'O');  // the failed open of COM250
}

TEST_F(ComPort, AnOverlappedReadWithNothingQueuedEndsWithinItsWait) {
    openProbe();
    SerialTimeouts t{10, 0, 10, 0, 200};
    ASSERT_EQ(serial_SetTimeouts(h, &t), 1);
    char buf[16];
    int64_t start = realMs();
    EXPECT_EQ(serial_ReadWait(h, buf, sizeof buf, 300), 0);
    EXPECT_LT(realMs() - start, 1500);
}

TEST_F(ComPort, InjectedFailuresFailOnceWithAnIoError) {
    openSync();
    serial_InjectFailure(SERIAL_OP_READ, 1);
    char buf[8];
    EXPECT_EQ(serial_Read(h, buf, sizeof buf), -1);
    EXPECT_EQ(err_Last(), kIoDeviceError);
    EXPECT_EQ(serial_Read(h, buf, sizeof buf), 0);
    serial_InjectFailure(SERIAL_OP_WRITE, 1);
    EXPECT_EQ(serial_Write(h, "AT\r", 3), -1);
    EXPECT_EQ(serial_Write(h, "AT\r", 3), 3);
}

TEST_F(ComPort, ASecondOpenIsRefused) {
    openSync();
    SerialHandle second = serial_Open(com, SERIAL_OPEN_SYNC);
    if (second != nullptr && env_Get("MODEMFLASH_UNDER_WINE") != nullptr) {
        serial_Close(second);
        GTEST_SKIP() << "Wine lets a second CreateFileA open a COM port that is open; Windows "
                        "refuses it with ERROR_ACCESS_DENIED (5), which this test checks there";
    }
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(err_Last(), kAccessDenied);
}

TEST(ComPortNames, AMissingPortIsNotOpened) {
    EXPECT_EQ(serial_Open("COM199", SERIAL_OPEN_SYNC), nullptr);
    EXPECT_EQ(err_Last(), 2);  // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(serial_Open("COM199", SERIAL_OPEN_OVERLAPPED), nullptr);
}

TEST(ComPortNames, AFileThatIsNotACommunicationsDeviceIsRefused) {
    // NUL opens like a device but has no device-control block.
    EXPECT_EQ(serial_Open("NUL", SERIAL_OPEN_SYNC), nullptr);
}

// Last, because the port goes away: the simulated modem drops its port after answering a
// mode command, as a real modem leaves the bus.
TEST_F(ComPort, ZAVanishedModemFailsReadsAndWrites) {
    openSync();
    ASSERT_EQ(serial_Write(h, "AT%MODE=1\r", 10), 10);
    std::string got;
    int n = 0;
    char buf[256];
    int64_t end = realMs() + 5000;
    while (realMs() < end) {
        n = serial_Read(h, buf, sizeof buf);
        if (n < 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_NE(got.find("OK"), std::string::npos) << got;
    ASSERT_EQ(n, -1) << "a read of the vanished port did not fail";
    EXPECT_EQ(serial_Write(h, "AT\r", 3), -1);
    EXPECT_EQ(serial_BytesWaiting(h), -1);
    EXPECT_EQ(serial_Close(h), 1);
    h = nullptr;
}

}  // namespace
