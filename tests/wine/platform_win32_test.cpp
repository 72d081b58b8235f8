// The Windows platform services that need no device, through their service headers.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/lock.h"
#include "platform/messages.h"
#include "platform/modem_lock.h"
#include "platform/portname.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {

// Windows error codes the tests name.
const int kAccessDenied = 5;
const int kFileNotFound = 2;

TEST(Win32ErrorText, HasNoTrailingLineBreak) {
    char text[256];
    err_Text(kAccessDenied, text, sizeof text);
    size_t n = strlen(text);
    ASSERT_GT(n, 5u);
    EXPECT_NE(text[n - 1], '\n');
    EXPECT_NE(text[n - 1], '\r');
    EXPECT_NE(std::string(text).find("ccess"), std::string::npos) << text;
}

TEST(Win32ErrorText, IsCutToTheBufferAsAPrefixOfTheWholeText) {
    char whole[256], cut[8];
    err_Text(kAccessDenied, whole, sizeof whole);
    memset(cut, 'x', sizeof cut);
    err_Text(kAccessDenied, cut, sizeof cut);
    EXPECT_EQ(strlen(cut), sizeof cut - 1);
    EXPECT_EQ(std::string(whole).compare(0, strlen(cut), cut), 0) << whole << " / " << cut;
}

TEST(Win32ErrorText, AnUnknownCodeIsNamedByItsNumber) {
    char text[64];
    EXPECT_STREQ(err_Text(0x20001234, text, sizeof text), "error 536875572");
}

TEST(Win32ErrorText, LastErrorRoundTrips) {
    err_SetLast(1460);
    EXPECT_EQ(err_Last(), 1460);
}

TEST(Win32PortNames, ComNamesBecomeDevicePaths) {
    char path[32];
    ASSERT_EQ(portname_DevicePath("COM5", path, sizeof path), 1);
    EXPECT_STREQ(path, "\\\\.\\COM5");
    ASSERT_EQ(portname_DevicePath("com12", path, sizeof path), 1);
    EXPECT_STREQ(path, "\\\\.\\COM12");
    // Not a COM name: passed on unchanged.
    ASSERT_EQ(portname_DevicePath("COM0", path, sizeof path), 1);
    EXPECT_STREQ(path, "COM0");
}

TEST(Win32PortNames, APathThatDoesNotFitIsRefusedAndLeftEmpty) {
    char path[8];
    EXPECT_EQ(portname_DevicePath("COM123", path, sizeof path), 0);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(portname_ComNumberOfTty("ttyACM0"), 0);  // no ttys on Windows
}

class Win32Profile : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(Win32Profile, ReadsAValueWithQuotesRemoved) {
    dir.write("update_config.ini", "[update flag]\r\nupdate_cat = \"7;9\"\r\n");
    char out[32];
    profile_GetString("update flag", "update_cat", "-1", out, sizeof out,
                      (dir.path() + "\\update_config.ini").c_str());
    EXPECT_STREQ(out, "7;9");
}

TEST_F(Win32Profile, AMissingFileGivesTheDefault) {
    char out[32];
    size_t n = profile_GetString("update flag", "update_cat", "-1", out, sizeof out,
                                 (dir.path() + "\\none.ini").c_str());
    EXPECT_STREQ(out, "-1");
    EXPECT_EQ(n, 2u);
}

TEST_F(Win32Profile, AValueIsCutToTheBuffer) {
    dir.write("a.ini", "[s]\r\nk=0123456789\r\n");
    char out[5];
    profile_GetString("s", "k", "-1", out, sizeof out, (dir.path() + "\\a.ini").c_str());
    EXPECT_STREQ(out, "0123");
}

// GetPrivateProfileStringA looks for a path that is not absolute in the Windows directory;
// the service makes it absolute first, so a folder relative to the current directory works.
// (Wine already resolves such paths against the current directory, so under Wine this passes
// either way; on Windows it checks the conversion.)
TEST(Win32ProfileRelative, ARelativePathIsFoundInTheCurrentDirectory) {
    const char* name = "mf-relative-test.ini";
    {
        std::ofstream out(name, std::ios::binary);
        out << "[s]\r\nk=found\r\n";
    }
    char out[16];
    profile_GetString("s", "k", "-1", out, sizeof out, ".\\mf-relative-test.ini");
    std::remove(name);
    EXPECT_STREQ(out, "found");
}

TEST(Win32Messages, APostLandsInThePostingThreadsOwnQueue) {
    std::atomic<int> got{0};
    uint32_t id = 0;
    intptr_t w = 0, l = 0;
    // A fresh thread has no message queue until it asks for one; the post must still land.
    std::thread poster([&] {
        if (msg_Post(0x600, 3, 12345) != 1) return;
        if (msg_Peek(&id, &w, &l, 1) == 1) got = 1;
        if (msg_Peek(nullptr, nullptr, nullptr, 1) == 0) got = got + 1;
    });
    poster.join();
    EXPECT_EQ(got.load(), 2);
    EXPECT_EQ(id, 0x600u);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(l, 12345);
}

TEST(Win32Messages, AnotherThreadDoesNotSeeThem) {
    ASSERT_EQ(msg_Post(0x500, 0, 42), 1);
    int seenElsewhere = -1;
    std::thread other([&] { seenElsewhere = msg_Peek(nullptr, nullptr, nullptr, 0); });
    other.join();
    EXPECT_EQ(seenElsewhere, 0);
    intptr_t l = 0;
    EXPECT_EQ(msg_Peek(nullptr, nullptr, &l, 0), 1);  // peeking leaves it queued
    EXPECT_EQ(msg_Peek(nullptr, nullptr, &l, 1), 1);
    EXPECT_EQ(l, 42);
    EXPECT_EQ(msg_Peek(nullptr, nullptr, nullptr, 1), 0);
}

TEST(Win32Messages, KeepTheirOrder) {
    for (int i = 0; i < 5; ++i) ASSERT_EQ(msg_Post(0x500, 0, i * 10), 1);
    for (int i = 0; i < 5; ++i) {
        intptr_t l = -1;
        ASSERT_EQ(msg_Peek(nullptr, nullptr, &l, 1), 1);
        EXPECT_EQ(l, i * 10);
    }
}

TEST(Win32Lock, AHolderKeepsOtherThreadsOut) {
    PlatformLock* lock = lock_Create();
    ASSERT_NE(lock, nullptr);
    lock_Acquire(lock);
    int whileHeld = -1, afterRelease = -1;
    std::thread t1([&] { whileHeld = lock_TryAcquire(lock); });
    t1.join();
    lock_Release(lock);
    std::thread t2([&] {
        afterRelease = lock_TryAcquire(lock);
        if (afterRelease) lock_Release(lock);
    });
    t2.join();
    EXPECT_EQ(whileHeld, 0);
    EXPECT_EQ(afterRelease, 1);
}

TEST(Win32Clock, SleepsAtLeastTheScaledTime) {
    clk_SetScale(1);
    int64_t start = clk_RealNowUs();
    clk_SleepMs(30);
    int64_t tookUs = clk_RealNowUs() - start;
    EXPECT_GE(tookUs, 30000);
    EXPECT_LT(tookUs, 500000);
}

TEST(Win32Clock, AScaledPauseIsShorter) {
    clk_SetScale(100);
    int64_t start = clk_RealNowUs();
    int64_t scaledStart = clk_NowMs();
    clk_SleepMs(2000);
    int64_t tookUs = clk_RealNowUs() - start;
    int64_t scaledTook = clk_NowMs() - scaledStart;
    clk_SetScale(1);
    EXPECT_GE(tookUs, 20000);
    EXPECT_LT(tookUs, 400000);
    EXPECT_GE(scaledTook, 2000);
}

TEST(Win32Environment, SetGetAndRemove) {
    ASSERT_EQ(env_Set("MF_WIN32_TEST_VAR", "abc"), 1);
    ASSERT_NE(env_Get("MF_WIN32_TEST_VAR"), nullptr);
    EXPECT_STREQ(env_Get("MF_WIN32_TEST_VAR"), "abc");
    ASSERT_EQ(env_Set("MF_WIN32_TEST_VAR", nullptr), 1);
    EXPECT_EQ(env_Get("MF_WIN32_TEST_VAR"), nullptr);
}

TEST(Win32DynLib, LoadsTheLibraryAndFindsOnlyCreate) {
    DynLib lib = dynlib_Open(MODEMFLASH_DLL_PATH);
    ASSERT_NE(lib, nullptr) << dynlib_Error();
    EXPECT_NE(dynlib_Symbol(lib, "Create"), nullptr);
    EXPECT_EQ(dynlib_Symbol(lib, "host_CreateDownloader"), nullptr);
    EXPECT_NE(std::string(dynlib_Error()).find("host_CreateDownloader"), std::string::npos);
    dynlib_Close(lib);
    EXPECT_STREQ(dynlib_LibraryFileName(), "modemflash.dll");
}

TEST(Win32DynLib, AMissingLibraryIsNamedInTheError) {
    EXPECT_EQ(dynlib_Open("no-such-library-here.dll"), nullptr);
    EXPECT_NE(std::string(dynlib_Error()).find("no-such-library-here.dll"), std::string::npos)
        << dynlib_Error();
}

TEST(Win32DynLib, TheExecutableDirectoryHasNoTrailingSeparator) {
    char dir[1024];
    ASSERT_EQ(dynlib_ExecutableDir(dir, sizeof dir), 1);
    size_t n = strlen(dir);
    ASSERT_GT(n, 2u);
    EXPECT_NE(dir[n - 1], '\\');
    EXPECT_NE(std::string(dir).find("wine"), std::string::npos) << dir;  // tests/wine
    char tiny[4];
    EXPECT_EQ(dynlib_ExecutableDir(tiny, sizeof tiny), 0);
}

TEST(Win32Registry, TheNativeBackendReportsAnNtPlatform) {
    uint32_t id = 0, major = 0;
    reg_NativeBackend()->getVersion(nullptr, &id, &major);
    EXPECT_EQ(id, REG_PLATFORM_WIN32_NT);
    EXPECT_GE(major, 5u);  // so the device tree is walked
}

TEST(Win32Registry, AMissingKeyIsFileNotFound) {
    RegKey k = nullptr;
    EXPECT_EQ(reg_Open(REG_HKLM, "SOFTWARE\\modemflash-no-such-key", REG_KEY_READ, &k),
              kFileNotFound);
}

// HKLM\SOFTWARE\modemflash-test, imported by scripts/test-windows.sh from
// tests/wine/registry-fixture.reg.
class Win32RegistryFixture : public ::testing::Test {
  protected:
    RegKey key = nullptr;
    void SetUp() override {
        if (reg_Open(REG_HKLM, "SOFTWARE\\modemflash-test", REG_KEY_READ, &key) != 0)
            GTEST_SKIP() << "HKLM\\SOFTWARE\\modemflash-test not imported";
    }
    void TearDown() override {
        if (key) reg_Close(key);
    }
};

TEST_F(Win32RegistryFixture, AValueTooLongForItsBufferReportsItsSize) {
    uint8_t data[8];
    uint32_t size = sizeof data;
    EXPECT_EQ(reg_Query(key, "LONGNAME", nullptr, data, &size), REG_ERROR_MORE_DATA);
    EXPECT_EQ(size, 41u);  // 40 characters and the terminator
    uint8_t big[64];
    size = sizeof big;
    uint32_t type = 0;
    ASSERT_EQ(reg_Query(key, "LONGNAME", &type, big, &size), 0);
    EXPECT_EQ(type, REG_TYPE_SZ);
    EXPECT_EQ(size, 41u);
    EXPECT_STREQ(reinterpret_cast<char*>(big), "0123456789012345678901234567890123456789");
}

TEST_F(Win32RegistryFixture, ValueNamesMatchWithoutCase) {
    uint8_t data[16];
    uint32_t size = sizeof data;
    ASSERT_EQ(reg_Query(key, "portname", nullptr, data, &size), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(data), "COM7");
}

TEST_F(Win32RegistryFixture, SubkeysAreEnumeratedUntilNoMoreItems) {
    char name[64];
    uint32_t len = sizeof name;
    ASSERT_EQ(reg_EnumKey(key, 0, name, &len), 0);
    EXPECT_STREQ(name, "Device Parameters");
    EXPECT_EQ(len, strlen("Device Parameters"));
    char small[4];
    len = sizeof small;
    EXPECT_EQ(reg_EnumKey(key, 0, small, &len), REG_ERROR_MORE_DATA);
    len = sizeof name;
    EXPECT_EQ(reg_EnumKey(key, 1, name, &len), REG_ERROR_NO_MORE_ITEMS);
}

TEST_F(Win32RegistryFixture, ValuesAreEnumeratedWithTheirSizes) {
    char name[64];
    uint8_t data[64];
    int seen = 0;
    for (uint32_t i = 0;; ++i) {
        uint32_t nameLen = sizeof name, dataLen = sizeof data;
        long r = reg_EnumValue(key, i, name, &nameLen, nullptr, data, &dataLen);
        if (r == REG_ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(r, 0);
        EXPECT_EQ(nameLen, strlen(name));
        EXPECT_EQ(dataLen, strlen(reinterpret_cast<char*>(data)) + 1);
        ++seen;
        ASSERT_LT(seen, 10);
    }
    EXPECT_EQ(seen, 2);
}

// The modem lock's named mutex: a holder that ends without releasing abandons it, the next
// taker takes it over naming the old holder; another thread of the holder's process is told
// that its process holds it.
TEST(ModemLockWin32, AnAbandonedLockIsTakenOverAndTheHoldersProcessHoldsIt) {
    testsupport::TempDir dir;
    testsupport::ScopedEnv root("MODEMFLASH_LOCK_ROOT", dir.path());
    std::thread first([] {
        ModemLock* lock = nullptr;
        EXPECT_EQ(modemlock_Acquire("1-1.3", "SIM0003", "COM5", &lock, nullptr), MODEM_LOCK_TAKEN);
    });  // ends holding it
    first.join();
    ModemLock* lock = nullptr;
    ModemLockHolder holder;
    ASSERT_EQ(modemlock_Acquire("1-1.3", "", "", &lock, &holder), MODEM_LOCK_TAKEN_OVER);
    EXPECT_STREQ(holder.location, "1-1.3");
    EXPECT_STREQ(holder.serial, "SIM0003");
    EXPECT_GT(holder.startedAt, 0);
    std::thread other([] {
        ModemLock* second = nullptr;
        EXPECT_EQ(modemlock_Acquire("1-1.3", "", "", &second, nullptr), MODEM_LOCK_OURS);
        EXPECT_EQ(second, nullptr);
        EXPECT_EQ(modemlock_Query("1-1.3", "", "", nullptr), 0);
    });
    other.join();
    modemlock_Release(lock);
    ASSERT_EQ(modemlock_Acquire("1-1.3", "", "", &lock, &holder), MODEM_LOCK_TAKEN);
    EXPECT_EQ(holder.pid, 0) << "a release leaves nothing to take over";
    modemlock_Release(lock);
}

}  // namespace
