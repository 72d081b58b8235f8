// The platform services that need no device: port naming, profile reading, message queue,
// clock, lock.
#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/messages.h"
#include "platform/portname.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "support/test_support.h"

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

TEST(PortNames, TtyNamesMapToComNumbersAndBack) {
    EXPECT_EQ(portname_ComNumberOfTty("ttyS0"), 1);
    EXPECT_EQ(portname_ComNumberOfTty("ttyUSB2"), 35);
    EXPECT_EQ(portname_ComNumberOfTty("ttyACM0"), 65);
    EXPECT_EQ(portname_ComNumberOfTty("ttyACM01"), 0);
    EXPECT_EQ(portname_ComNumberOfTty("ttyACM"), 0);
    EXPECT_EQ(portname_ComNumberOfTty("tty1"), 0);
    EXPECT_EQ(portname_ComNumberOfTty("ttyS32"), 0);
    char name[16];
    ASSERT_EQ(portname_TtyOfComNumber(66, name, sizeof name), 1);
    EXPECT_STREQ(name, "ttyACM1");
    ASSERT_EQ(portname_TtyOfComNumber(12, name, sizeof name), 1);
    EXPECT_STREQ(name, "ttyS11");
    EXPECT_EQ(portname_TtyOfComNumber(0, name, sizeof name), 0);
    EXPECT_EQ(portname_TtyOfComNumber(66, name, 4), 0);
}

TEST(PortNames, ComNamesParseWithoutRegardToCase) {
    EXPECT_EQ(portname_ParseCom("COM12"), 12);
    EXPECT_EQ(portname_ParseCom("com5"), 5);
    EXPECT_EQ(portname_ParseCom("COM0"), 0);
    EXPECT_EQ(portname_ParseCom("COM"), 0);
    EXPECT_EQ(portname_ParseCom("COM5x"), 0);
    EXPECT_EQ(portname_ParseCom("COM256"), 0);
}

TEST(PortNames, DevicePathsUseTheDevRoot) {
    ScopedEnv root("MODEMFLASH_DEV_ROOT", "/tmp/devs");
    char path[64];
    ASSERT_EQ(portname_DevicePath("COM65", path, sizeof path), 1);
    EXPECT_STREQ(path, "/tmp/devs/ttyACM0");
    ASSERT_EQ(portname_DevicePath("/dev/ttyUSB0", path, sizeof path), 1);
    EXPECT_STREQ(path, "/dev/ttyUSB0");
    EXPECT_EQ(portname_DevicePath("COM65", path, 8), 0);
}

class Profile : public ::testing::Test {
  protected:
    TempDir dir;
    std::string get(const char* section, const char* key, size_t capacity = 40) {
        char out[64];
        profile_GetString(section, key, "-1", out, capacity, dir.file("update_config.ini").c_str());
        return out;
    }
};

TEST_F(Profile, NamesMatchWithoutCaseAndValuesAreTrimmed) {
    dir.write(
        "update_config.ini",
        "; comment\r\n[Other]\r\nupdate_cat=1\r\n[ Update Flag ]\r\n  UPDATE_CAT =  7;8;9  \r\n");
    EXPECT_EQ(get("update flag", "update_cat"), "7;8;9");
}

TEST_F(Profile, MissingFileSectionOrKeyGiveTheDefault) {
    EXPECT_EQ(get("update flag", "update_cat"), "-1");
    dir.write("update_config.ini", "[update flag]\nother=3\n");
    EXPECT_EQ(get("update flag", "update_cat"), "-1");
    EXPECT_EQ(get("nothing", "other"), "-1");
}

TEST_F(Profile, AnEmptyValueIsAValue) {
    dir.write("update_config.ini", "[update flag]\nupdate_cat=\n");
    EXPECT_EQ(get("update flag", "update_cat"), "");
}

TEST_F(Profile, QuotesAreRemovedAndLongValuesCut) {
    dir.write(
        "update_config.ini",
        "[update flag]\nupdate_cat=\"7;9\"\nlong=0123456789012345678901234567890123456789XYZ\n");
    EXPECT_EQ(get("update flag", "update_cat"), "7;9");
    EXPECT_EQ(get("update flag", "long").size(), 39u);
}

TEST(Text, GbkLinesBecomeUtf8AndOtherBytesAreRefused) {
    // "mode switch failed" as the engine logs it, and as a UTF-8 terminal must show it.
    const char gbk[] = "SelectMode: \xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc\n";
    char out[128];
    ASSERT_GT(text_GbkToUtf8(gbk, sizeof gbk - 1, out, sizeof out), 0);
    EXPECT_STREQ(out, "SelectMode: \u6a21\u5f0f\u5207\u6362\u5931\u8d25\n");
    EXPECT_EQ(text_GbkToUtf8("\xff\xff", 2, out, sizeof out), -1);
    EXPECT_EQ(text_GbkToUtf8(gbk, sizeof gbk - 1, out, 8), -1) << "does not fit";
}

TEST_F(Profile, BackslashPathsWork) {
    dir.write("update_config.ini", "[update flag]\nupdate_cat=8\n");
    char out[40];
    std::string path = dir.path() + "\\update_config.ini";
    profile_GetString("update flag", "update_cat", "-1", out, sizeof out, path.c_str());
    EXPECT_STREQ(out, "8");
}

TEST(MessageQueue, EachThreadReadsOnlyItsOwnMessages) {
    uint32_t id;
    intptr_t w, l;
    while (msg_Peek(&id, &w, &l, 1)) {
    }
    msg_Post(0x500, 0, 10);
    std::thread other([] {
        uint32_t i;
        intptr_t a, b;
        EXPECT_EQ(msg_Peek(&i, &a, &b, 1), 0);
        msg_Post(0x600, 1, 2);
    });
    other.join();
    ASSERT_EQ(msg_Peek(&id, &w, &l, 0), 1);  // peek leaves it
    ASSERT_EQ(msg_Peek(&id, &w, &l, 1), 1);
    EXPECT_EQ(id, 0x500u);
    EXPECT_EQ(l, 10);
    EXPECT_EQ(msg_Peek(&id, &w, &l, 1), 0);
}

TEST(MessageQueue, RefusesPostsBeyondTenThousand) {
    std::thread t([] {
        int posted = 0;
        for (int i = 0; i < 10005; ++i) posted += msg_Post(0x500, 0, i);
        EXPECT_EQ(posted, 10000);
    });
    t.join();
}

TEST(Clock, ChangingTheScaleNeverMovesTimeBackwards) {
    clk_SetScale(1000);
    int64_t a = clk_NowMs();
    clk_SleepMs(500);  // half a real millisecond
    clk_SetScale(1);
    int64_t b = clk_NowMs();
    EXPECT_GE(b, a + 500);
    EXPECT_LT(b, a + 500000);  // generous: a loaded machine may be late
}

TEST(Lock, TryAcquireSeesAHolder) {
    PlatformLock* lock = lock_Create();
    ASSERT_NE(lock, nullptr);
    lock_Acquire(lock);
    std::thread t([lock] { EXPECT_EQ(lock_TryAcquire(lock), 0); });
    t.join();
    lock_Release(lock);
    EXPECT_EQ(lock_TryAcquire(lock), 1);
    lock_Release(lock);
    lock_Destroy(lock);
}

// A seam armed at n fails its n-th call once, counting every call; armed at 0 it never fails.
TEST(FaultSeams, TheArmedCallFailsOnceAndEveryCallIsCounted) {
    fault_Arm(FAULT_SEAM_FILE_OPEN, 2);
    TempDir dir;
    dir.write("f", "x");
    FILE* first = file_Open(dir.file("f").c_str(), "rb");
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(fault_Fired(FAULT_SEAM_FILE_OPEN), 0);
    EXPECT_EQ(file_Open(dir.file("f").c_str(), "rb"), nullptr);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(fault_Fired(FAULT_SEAM_FILE_OPEN), 1);
    FILE* third = file_Open(dir.file("f").c_str(), "rb");
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(fault_Calls(FAULT_SEAM_FILE_OPEN), 3);
    char c = 0;
    fault_Arm(FAULT_SEAM_FILE_READ, 1);
    EXPECT_EQ(file_Read(&c, 1, 1, first), 0u);
    EXPECT_EQ(file_Read(&c, 1, 1, first), 1u);
    EXPECT_EQ(c, 'x');
    fclose(first);
    fclose(third);
    fault_Arm(FAULT_SEAM_FILE_OPEN, 0);
    fault_Arm(FAULT_SEAM_FILE_READ, 0);
    EXPECT_EQ(fault_Calls(FAULT_SEAM_FILE_OPEN), 0);
    EXPECT_STREQ(fault_SeamName(FAULT_SEAM_SQLITE), "sqlite");
}

}  // namespace
