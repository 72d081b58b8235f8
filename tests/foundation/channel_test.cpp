// The serial channel over a real pty: open, settings, reads, writes, failures.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <thread>

#include "engine/port_context.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "support/test_support.h"

using testsupport::CapturedStream;
using testsupport::PtyPeer;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

class Channel : public ::testing::Test {
  protected:
    TempDir dev;
    ScopedEnv devRoot{"MODEMFLASH_DEV_ROOT", dev.path()};
    std::unique_ptr<PtyPeer> peer;

    void SetUp() override { peer = std::make_unique<PtyPeer>(dev.path(), "ttyACM0"); }
    void TearDown() override {
        com_Close(1);
        for (int op = 0; op < SERIAL_OP_COUNT; ++op) serial_InjectFailure(op, 0);
    }
};

TEST_F(Channel, OpenFillsTheRecord) {
    PortContext* c = ctx_Get(1);
    c->targetMode = 3;
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    EXPECT_EQ(c->isOpen, 1);
    EXPECT_EQ(c->portIndex, 1);
    EXPECT_EQ(c->atTimeout, 5000);
    EXPECT_EQ(c->baudRate, 115200);
    EXPECT_EQ(c->blockSize, 16384);
    EXPECT_EQ(c->targetMode, 0);
    EXPECT_EQ(report_Port(1)->comVerbosity, 2);
    EXPECT_STREQ(c->portName, "COM65");
    EXPECT_EQ(com_Close(1), 1);
    EXPECT_EQ(c->portHandle, SERIAL_INVALID_HANDLE);
    EXPECT_EQ(c->isOpen, 0);
    EXPECT_EQ(c->portIndex, -1);
}

TEST_F(Channel, OpenOfAMissingDeviceResetsTheRecord) {
    PortContext* c = ctx_Get(1);
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    com_Close(1);
    report_Port(1)->logLevel = 2;
    c->blockSize = 1234;
    CapturedStream err(2);
    EXPECT_EQ(com_Open(1, "COM99"), nullptr);
    EXPECT_EQ(err.text(), "\n#Error: failed to open [COM99] device\n");
    EXPECT_EQ(c->portHandle, SERIAL_INVALID_HANDLE);
    EXPECT_EQ(c->atTimeout, -1);
    EXPECT_EQ(c->baudRate, -1);
    EXPECT_EQ(c->portIndex, -1);
    EXPECT_EQ(c->isOpen, 0);
    EXPECT_STREQ(c->portName, "");
    EXPECT_EQ(report_Port(1)->comVerbosity, 2);
    EXPECT_EQ(report_Port(1)->logLevel, 2);  // kept
    EXPECT_EQ(c->blockSize, 1234);           // kept
}

TEST_F(Channel, NamesLongerThanTheDevicePathAreRefused) {
    CapturedStream err(2);
    EXPECT_EQ(com_Open(1, "COM6500000000000"), nullptr);  // 16 characters
    EXPECT_EQ(err.text(), "\n#Error: failed to open [COM6500000000000] device\n");
    EXPECT_EQ(ctx_Get(1)->baudRate, -1);
}

TEST_F(Channel, APortHeldByAnotherProgramIsRefused) {
    SerialHandle other = serial_Open("COM65", SERIAL_OPEN_SYNC);
    ASSERT_NE(other, nullptr);
    CapturedStream err(2);
    EXPECT_EQ(com_Open(1, "COM65"), nullptr);
    serial_Close(other);
    EXPECT_NE(com_Open(1, "COM65"), nullptr) << "the lock must go with the close";
}

TEST_F(Channel, RefusedLineSettingClosesTheDeviceAgain) {
    serial_InjectFailure(SERIAL_OP_SET_LINE, 1);
    CapturedStream err(2);
    EXPECT_EQ(com_Open(1, "COM65"), nullptr);
    EXPECT_EQ(err.text(), "\n#Error: failed to set com port [COM65] device\n");
    EXPECT_NE(com_Open(1, "COM65"), nullptr) << "the first attempt must not hold the port";
}

TEST_F(Channel, RefusedTimeoutsCloseTheDeviceAgain) {
    serial_InjectFailure(SERIAL_OP_SET_TIMEOUTS, 1);
    CapturedStream err(2);
    EXPECT_EQ(com_Open(1, "COM65"), nullptr);
    EXPECT_EQ(err.text(), "\n#Error: failed to set com timeouts on [COM65] device\n");
    EXPECT_NE(com_Open(1, "COM65"), nullptr);
}

TEST_F(Channel, OpenDiscardsWhatWasWaiting) {
    SerialHandle h = serial_Open("COM65", SERIAL_OPEN_SYNC);
    peer->send("stale");
    ASSERT_NE(h, nullptr);
    serial_Close(h);
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    char buf[16];
    EXPECT_EQ(com_Read(1, buf, sizeof buf), 0);
}

TEST_F(Channel, ReadReturnsNothingAfterAboutTenMilliseconds) {
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    char buf[64];
    int64_t start = clk_RealNowUs();
    EXPECT_EQ(com_Read(1, buf, sizeof buf), 0);
    int64_t took = clk_RealNowUs() - start;
    EXPECT_GE(took, 8000);
    EXPECT_LT(took, 1000000);  // generous: a loaded machine may be late
}

TEST_F(Channel, WriteAndReadMoveBytesBothWays) {
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    EXPECT_EQ(com_Write(1, "AT\r\n", 4), 4);
    EXPECT_EQ(peer->receiveExactly(4), "AT\r\n");
    peer->send("\r\nOK\r\n");
    char buf[64] = {};
    int got = 0;
    for (int i = 0; i < 50 && got < 6; ++i) got += com_Read(1, buf + got, sizeof buf - 1 - got);
    EXPECT_STREQ(buf, "\r\nOK\r\n");
}

TEST_F(Channel, ALargeFrameIsWrittenWholeThroughTheSmallPtyBuffer) {
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    std::string frame(16388, 'x');
    std::string got;
    std::thread reader([&] { got = peer->receiveExactly(frame.size(), 3000); });
    EXPECT_EQ(com_Write(1, frame.data(), static_cast<int>(frame.size())), 16388);
    reader.join();
    EXPECT_EQ(got.size(), frame.size());
}

TEST_F(Channel, AVanishedDeviceFailsReadsAndWrites) {
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    peer->vanish();
    CapturedStream err(2);
    char buf[8];
    EXPECT_EQ(com_Read(1, buf, sizeof buf), -1);
    EXPECT_EQ(com_Write(1, "AT\r\n", 4), -1);
    std::string text = err.text();
    EXPECT_NE(text.find("\n#Error: ReadFile, errno="), std::string::npos) << text;
    EXPECT_NE(text.find("\n#Error: WriteFile, errno="), std::string::npos) << text;
}

TEST_F(Channel, SpeedChangesLeaveTheWantedSpeedAlone) {
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    EXPECT_EQ(com_SetSpeed(1, 921600), 1);
    EXPECT_EQ(ctx_Get(1)->baudRate, 115200);
    CapturedStream err(2);
    EXPECT_EQ(com_SetSpeed(1, 12345), -3);
    EXPECT_EQ(err.text().rfind("\n#Error: failed to update COM speed , errno=", 0), 0u);
}

TEST_F(Channel, ReadTraceShowsEveryByteAtVerbosityThree) {
    ASSERT_NE(com_Open(1, "COM65"), nullptr);
    report_Port(1)->comVerbosity = 3;
    peer->send("A\r");
    clk_SleepMs(20);  // let both bytes arrive, so that one read takes them
    CapturedStream err(2);
    char buf[8];
    int got = 0;
    for (int i = 0; i < 50 && got < 2; ++i) got += com_Read(1, buf + got, 2 - got);
    report_Port(1)->comVerbosity = 2;
    EXPECT_EQ(err.text(), "[0] 0x41 'A'\n[1] 0x0D '.'\n");
}

TEST(PortTable, RefusesIndexesOutsideTheTable) {
    EXPECT_EQ(ctx_Get(-1), nullptr);
    EXPECT_EQ(ctx_Get(16), nullptr);
    EXPECT_EQ(com_Open(16, "COM65"), nullptr);
    EXPECT_EQ(com_Close(-1), 0);
    EXPECT_EQ(com_Write(16, "x", 1), -1);
    EXPECT_EQ(com_Read(16, nullptr, 0), -1);
    EXPECT_EQ(ctx_LogLevel(16, 2), -1);
    EXPECT_EQ(ctx_SetTargetMode(16, 1), 0);
}

TEST(PortTable, Accessors) {
    EXPECT_EQ(ctx_LogLevel(5, 2), 2);
    EXPECT_EQ(ctx_LogLevel(5, -1), 2);
    EXPECT_EQ(ctx_LogLevel(5, 0), 0);
    EXPECT_EQ(ctx_SetTargetMode(5, 3), 1);
    EXPECT_EQ(ctx_SetTargetMode(5, 4), 0);
    EXPECT_EQ(ctx_SetTargetMode(5, -1), 0);
    EXPECT_EQ(ctx_Get(5)->targetMode, 3);
    at_SetTimeout(5, 30000);
    EXPECT_EQ(ctx_Get(5)->atTimeout, 30000);
    at_ResetTimeout(5);
    EXPECT_EQ(ctx_Get(5)->atTimeout, 5000);
}

TEST(PortTable, ErrorTextIsCutToItsField) {
    // The system's text, cut to the field and terminated, nothing written past it.
    char field[12];
    memset(field, '#', sizeof field);
    EXPECT_STREQ(err_Text(EIO, field, 6), "Input");
    EXPECT_EQ(field[6], '#');
    EXPECT_STREQ(err_Text(EIO, field, 1), "");
    // The port's text is the system's text in the record's own field.
    char whole[ERR_TEXT_CAPACITY];
    err_Text(EIO, whole, sizeof whole);
    err_SetLast(EIO);
    const char* t = com_ErrorText(2);
    EXPECT_EQ(t, ctx_Get(2)->errText);
    EXPECT_STREQ(t, whole);
    EXPECT_EQ(err_Last(), EIO) << "reading the text keeps the error";
}

}  // namespace
