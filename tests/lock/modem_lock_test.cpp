// One update per modem across processes: the modem lock's POSIX backend, with a second
// process (fork) as the other program.
#include "platform/modem_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

// A second process that takes the lock of location 1-1.3 and then, told by a byte on a pipe,
// releases it and ends, or ends without releasing (as if killed).
class OtherProcess {
  public:
    enum End { RELEASE, VANISH };
    explicit OtherProcess(End end) {
        int up[2], down[2];
        EXPECT_EQ(pipe(up), 0);
        EXPECT_EQ(pipe(down), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            ModemLock* lock = nullptr;
            int r = modemlock_Acquire("1-1.3", "SIM0003", "COM65", &lock, nullptr);
            char c = static_cast<char>(r);
            if (write(up[1], &c, 1) != 1) _exit(2);
            if (read(down[0], &c, 1) != 1) _exit(3);
            if (end == RELEASE) modemlock_Release(lock);
            _exit(0);  // a lock not released ends with the process
        }
        close(up[1]);
        close(down[0]);
        up_ = up[0];
        down_ = down[1];
        char c = 0;
        EXPECT_EQ(read(up_, &c, 1), 1);
        taken_ = c;
    }
    ~OtherProcess() { finish(); }
    void finish() {
        if (pid_ <= 0) return;
        char c = 'x';
        EXPECT_EQ(write(down_, &c, 1), 1);
        int status = 0;
        waitpid(pid_, &status, 0);
        close(up_);
        close(down_);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    int taken() const { return taken_; }

  private:
    pid_t pid_ = -1;
    int up_ = -1, down_ = -1;
    int taken_ = 0;
};

class ModemLockTest : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv lockRoot{"MODEMFLASH_LOCK_ROOT", dir.file("locks")};
};

TEST_F(ModemLockTest, AnotherProcessIsToldWhoHoldsTheModemAndSinceWhen) {
    time_t before = time(nullptr);
    OtherProcess other(OtherProcess::RELEASE);
    ASSERT_EQ(other.taken(), MODEM_LOCK_TAKEN);
    ModemLock* lock = nullptr;
    ModemLockHolder holder;
    EXPECT_EQ(modemlock_Acquire("1-1.3", "", "COM66", &lock, &holder), MODEM_LOCK_HELD);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(holder.pid, other.pid());
    EXPECT_GE(holder.startedAt, static_cast<int64_t>(before));
    EXPECT_LE(holder.startedAt, static_cast<int64_t>(time(nullptr)));
    EXPECT_NE(std::string(holder.command).find("test_lock"), std::string::npos) << holder.command;
    EXPECT_STREQ(holder.location, "1-1.3");
    EXPECT_STREQ(holder.serial, "SIM0003");
    EXPECT_STREQ(holder.port, "COM65");
    ModemLockHolder queried;
    EXPECT_EQ(modemlock_Query("1-1.3", "", "", &queried), 1);
    EXPECT_EQ(queried.pid, other.pid());
    char words[512];
    std::string said = modemlock_Describe(&holder, words, sizeof words);
    EXPECT_EQ(said.rfind("process " + std::to_string(other.pid()) + " (", 0), 0u) << said;
    EXPECT_NE(said.find(" since "), std::string::npos) << said;
    EXPECT_NE(said.find(" UTC"), std::string::npos) << said;
    // Another location is another modem.
    EXPECT_EQ(modemlock_Acquire("1-1.4", "", "", &lock, nullptr), MODEM_LOCK_TAKEN);
    modemlock_Release(lock);
}

TEST_F(ModemLockTest, AReleasedLockIsTakenAsNew) {
    OtherProcess other(OtherProcess::RELEASE);
    ASSERT_EQ(other.taken(), MODEM_LOCK_TAKEN);
    other.finish();
    EXPECT_EQ(modemlock_Query("1-1.3", "", "", nullptr), 0);
    ModemLock* lock = nullptr;
    ModemLockHolder holder;
    EXPECT_EQ(modemlock_Acquire("1-1.3", "", "", &lock, &holder), MODEM_LOCK_TAKEN);
    EXPECT_EQ(holder.pid, 0);
    modemlock_Release(lock);
}

// A holder that ended without releasing (killed): its lock is taken over, naming it.
TEST_F(ModemLockTest, AStaleLockOfAProcessThatEndedIsTakenOverSayingWhose) {
    OtherProcess other(OtherProcess::VANISH);
    ASSERT_EQ(other.taken(), MODEM_LOCK_TAKEN);
    pid_t gone = other.pid();
    other.finish();
    ModemLock* lock = nullptr;
    ModemLockHolder holder;
    EXPECT_EQ(modemlock_Acquire("1-1.3", "", "", &lock, &holder), MODEM_LOCK_TAKEN_OVER);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(holder.pid, gone);
    ModemLockHolder now;
    EXPECT_EQ(modemlock_Query("1-1.3", "", "", &now), 0) << "this process holds it";
    modemlock_Release(lock);
    EXPECT_EQ(modemlock_Acquire("1-1.3", "", "", &lock, &holder), MODEM_LOCK_TAKEN)
        << "a release leaves nothing to take over";
    modemlock_Release(lock);
}

// Another part of the same process (the host around the library) holds it: nothing to take.
TEST_F(ModemLockTest, ALockThisProcessHoldsIsOurs) {
    ModemLock* first = nullptr;
    ASSERT_EQ(modemlock_Acquire("1-1.3", "", "", &first, nullptr), MODEM_LOCK_TAKEN);
    ModemLock* second = nullptr;
    ModemLockHolder holder;
    EXPECT_EQ(modemlock_Acquire("1-1.3", "", "", &second, &holder), MODEM_LOCK_OURS);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(holder.pid, getpid());
    modemlock_Release(first);
}

// A lock file that names this process's pid, held by another process (a pid repeats across
// containers that share a lock folder, and is reused on Windows): held, not ours.
TEST_F(ModemLockTest, AnotherProcessHoldingALockThatNamesOurPidHoldsIt) {
    OtherProcess other(OtherProcess::RELEASE);
    ASSERT_EQ(other.taken(), MODEM_LOCK_TAKEN);
    std::string file;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("locks")))
        file = e.path().string();
    ASSERT_FALSE(file.empty());
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "pid=%lld\n", static_cast<long long>(getpid()));
    fclose(f);
    ModemLock* lock = nullptr;
    ModemLockHolder holder;
    EXPECT_EQ(modemlock_Acquire("1-1.3", "", "", &lock, &holder), MODEM_LOCK_HELD);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(modemlock_Query("1-1.3", "", "", &holder), 1);
}

TEST_F(ModemLockTest, AModemIsKeyedByLocationElseSerialElsePortName) {
    char key[96];
    ASSERT_EQ(modemlock_Key("1-1.3", "SIM1", "COM65", key, sizeof key), 1);
    EXPECT_STREQ(key, "usb-1-1.3");
    ASSERT_EQ(modemlock_Key("", "AB/12 x", "COM65", key, sizeof key), 1);
    EXPECT_STREQ(key, "serial-AB_12_x");
    ASSERT_EQ(modemlock_Key(nullptr, nullptr, "COM65", key, sizeof key), 1);
    EXPECT_STREQ(key, "port-COM65");
    ASSERT_EQ(modemlock_Key("Port_#0003.Hub_#0001", "", "", key, sizeof key), 1);
    EXPECT_STREQ(key, "usb-Port__0003.Hub__0001");
    EXPECT_EQ(modemlock_Key("", "", "", key, sizeof key), 0);
    EXPECT_EQ(modemlock_Key(std::string(200, 'a').c_str(), "", "", key, sizeof key), 0);
    ModemLock* lock = nullptr;
    EXPECT_EQ(modemlock_Acquire("", "", "", &lock, nullptr), MODEM_LOCK_FAILED);
    EXPECT_EQ(lock, nullptr);
}

// The folder: the variable's, made when missing and open to every user; without it, the
// moved device tree's own.
TEST_F(ModemLockTest, TheLockFolderIsMadeWhereTheEnvironmentSays) {
    ModemLock* lock = nullptr;
    ASSERT_EQ(modemlock_Acquire("1-2", "", "", &lock, nullptr), MODEM_LOCK_TAKEN);
    struct stat st;
    ASSERT_EQ(stat(dir.file("locks").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    EXPECT_EQ(stat(dir.file("locks/usb-1-2.lock").c_str(), &st), 0);
    modemlock_Release(lock);
    ScopedEnv none("MODEMFLASH_LOCK_ROOT", "");
    ScopedEnv dev("MODEMFLASH_DEV_ROOT", dir.file("dev"));
    char root[4096];
    ASSERT_EQ(modemlock_Root(root, sizeof root), 1);
    EXPECT_EQ(std::string(root), dir.file("dev") + "/.locks");
}

TEST_F(ModemLockTest, AFolderThatCannotBeMadeFailsTheLock) {
    dir.write("file", "x");
    ScopedEnv blocked("MODEMFLASH_LOCK_ROOT", dir.file("file") + "/locks");
    ModemLock* lock = nullptr;
    EXPECT_EQ(modemlock_Acquire("1-1", "", "", &lock, nullptr), MODEM_LOCK_FAILED);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(modemlock_Query("1-1", "", "", nullptr), -1);
}

}  // namespace
