// The serial tap over a real pty: what the POSIX serial service tells a recorder.
#include "platform/serial_tap.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/serial.h"
#include "support/test_support.h"

using testsupport::PtyPeer;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

// What one tap call carried, copied (the call's pointers live only during the call).
struct Told {
    int op;
    SerialHandle port;
    std::string name;
    int flags, result, error, absent;
    std::string bytes;
    size_t count;
    uint32_t value, value2;
    SerialLine line{};
    SerialTimeouts timeouts{};
};

struct Tape {
    std::vector<Told> told;
    static void tap(void* self, const SerialTapEvent* e) {
        Told t{e->op,     e->port,   e->name ? e->name : "",
               e->flags,  e->result, e->error,
               e->absent, {},        e->count,
               e->value,  e->value2};
        if (e->op == SERIAL_TAP_WRITE && e->data) t.bytes.assign((const char*)e->data, e->count);
        if (e->op == SERIAL_TAP_READ && e->result > 0)
            t.bytes.assign((const char*)e->data, (size_t)e->result);
        if (e->line) t.line = *e->line;
        if (e->timeouts) t.timeouts = *e->timeouts;
        static_cast<Tape*>(self)->told.push_back(t);
        errno = 0;  // a tap that disturbs the last error must not change what callers see
        err_SetLast(0);
    }
    std::vector<int> ops() const {
        std::vector<int> o;
        for (const Told& t : told) o.push_back(t.op);
        return o;
    }
};

class SerialTap : public ::testing::Test {
  protected:
    TempDir dev;
    ScopedEnv devRoot{"MODEMFLASH_DEV_ROOT", dev.path()};
    PtyPeer peer{dev.path(), "ttyACM0"};
    Tape tape;
    SerialHandle h = nullptr;
    void SetUp() override { serial_SetTap(&Tape::tap, &tape); }
    void TearDown() override {
        serial_SetTap(nullptr, nullptr);
        if (h) serial_Close(h);
    }
};

TEST_F(SerialTap, TellsOpenSettingsPurgeWritesReadsAndCloseInOrder) {
    h = serial_Open("COM65", SERIAL_OPEN_SYNC);
    ASSERT_NE(h, nullptr);
    SerialTimeouts t{10, 0, 10, 0, 200};
    ASSERT_EQ(serial_SetTimeouts(h, &t), 1);
    SerialLine line{115200, 8, 1, SERIAL_PARITY_NONE, 0, 1, 0, 1, 0, 0, 1};
    ASSERT_EQ(serial_SetLine(h, &line), 1);
    ASSERT_EQ(serial_SetupQueues(h, 4096, 2048), 1);
    ASSERT_EQ(serial_SetEventMask(h, 0x78), 1);
    ASSERT_EQ(serial_Purge(h, SERIAL_PURGE_RX_CLEAR | SERIAL_PURGE_TX_CLEAR), 1);
    ASSERT_EQ(serial_Write(h, "AT\r\n", 4), 4);
    EXPECT_EQ(peer.receiveExactly(4), "AT\r\n");
    char buf[16];
    EXPECT_EQ(serial_Read(h, buf, sizeof buf), 0);  // nothing yet: not told
    peer.send("\r\nOK\r\n");
    int got = 0;
    for (int i = 0; i < 100 && got < 6; ++i) {
        int n = serial_Read(h, buf + got, sizeof buf - (size_t)got);
        ASSERT_GE(n, 0);
        got += n;
    }
    SerialHandle was = h;
    ASSERT_EQ(serial_Close(h), 1);
    h = nullptr;

    std::vector<int> ops = tape.ops();
    ASSERT_GE(ops.size(), 9u);  // the answer may come in more than one read
    EXPECT_EQ(
        std::vector<int>(ops.begin(), ops.begin() + 7),
        (std::vector<int>{SERIAL_TAP_OPEN, SERIAL_TAP_TIMEOUTS, SERIAL_TAP_LINE, SERIAL_TAP_QUEUES,
                          SERIAL_TAP_EVENT_MASK, SERIAL_TAP_PURGE, SERIAL_TAP_WRITE}));
    EXPECT_EQ(ops.back(), SERIAL_TAP_CLOSE);
    std::string read;
    for (size_t i = 7; i + 1 < tape.told.size(); ++i) {
        EXPECT_EQ(tape.told[i].op, SERIAL_TAP_READ);
        EXPECT_GT(tape.told[i].result, 0);
        read += tape.told[i].bytes;
    }
    EXPECT_EQ(read, "\r\nOK\r\n");
    for (const Told& told : tape.told) EXPECT_EQ(told.port, was);
    EXPECT_EQ(tape.told[0].name, "COM65");
    EXPECT_EQ(tape.told[0].result, 1);
    EXPECT_EQ(tape.told[1].timeouts.writeConstant, 200u);
    EXPECT_EQ(tape.told[2].line.rtsHandshake, 1);
    EXPECT_EQ(tape.told[3].value, 4096u);
    EXPECT_EQ(tape.told[3].value2, 2048u);
    EXPECT_EQ(tape.told[4].value, 0x78u);
    EXPECT_EQ(tape.told[5].flags, SERIAL_PURGE_RX_CLEAR | SERIAL_PURGE_TX_CLEAR);
    EXPECT_EQ(tape.told[6].bytes, "AT\r\n");
    EXPECT_EQ(tape.told[6].result, 4);
}

TEST_F(SerialTap, AFailedOpenIsToldAsAbsentAndKeepsItsError) {
    EXPECT_EQ(serial_Open("COM99", SERIAL_OPEN_OVERLAPPED), nullptr);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(tape.told.size(), 1u);
    EXPECT_EQ(tape.told[0].op, SERIAL_TAP_OPEN);
    EXPECT_EQ(tape.told[0].name, "COM99");
    EXPECT_EQ(tape.told[0].flags, SERIAL_OPEN_OVERLAPPED);
    EXPECT_EQ(tape.told[0].result, 0);
    EXPECT_EQ(tape.told[0].error, ENOENT);
    EXPECT_EQ(tape.told[0].absent, 1);
}

TEST_F(SerialTap, APortHeldElsewhereIsNotAbsent) {
    h = serial_Open("COM65", SERIAL_OPEN_SYNC);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(serial_Open("COM65", SERIAL_OPEN_SYNC), nullptr);
    ASSERT_EQ(tape.told.size(), 2u);
    EXPECT_EQ(tape.told[1].result, 0);
    EXPECT_EQ(tape.told[1].absent, 0);
}

TEST_F(SerialTap, AVanishedDeviceIsToldAsGone) {
    h = serial_Open("COM65", SERIAL_OPEN_SYNC);
    ASSERT_NE(h, nullptr);
    SerialTimeouts t{10, 0, 10, 0, 200};
    ASSERT_EQ(serial_SetTimeouts(h, &t), 1);
    peer.vanish();
    char buf[8];
    EXPECT_EQ(serial_Read(h, buf, sizeof buf), -1);
    EXPECT_EQ(serial_IsGone(h), 1);
    ASSERT_EQ(tape.told.size(), 4u);
    EXPECT_EQ(tape.told[2].op, SERIAL_TAP_READ);
    EXPECT_EQ(tape.told[2].result, -1);
    EXPECT_EQ(tape.told[2].absent, 1);
    EXPECT_EQ(tape.told[3].op, SERIAL_TAP_GONE);
}

TEST_F(SerialTap, NothingIsToldOnceTheTapIsRemoved) {
    serial_SetTap(nullptr, nullptr);
    h = serial_Open("COM65", SERIAL_OPEN_SYNC);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(serial_Write(h, "AT\r", 3), 3);
    EXPECT_TRUE(tape.told.empty());
}

}  // namespace
