// The modemsim program: options, the ready file, the hook, and the report at exit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/clock.h"
#include "support/test_support.h"

#ifdef MODEMSIM_EXE

extern char** environ;

namespace {

pid_t spawn(const std::vector<std::string>& args, const std::string& errFile) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool waitForFile(const std::string& path, int timeoutMs) {
    int64_t end = clk_RealNowUs() + (int64_t)timeoutMs * 1000;
    struct stat st;
    while (clk_RealNowUs() < end) {
        if (stat(path.c_str(), &st) == 0) return true;
        usleep(2000);
    }
    return false;
}

std::string talk(const std::string& dev, const std::string& text, const std::string& marker) {
    int fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return "";
    if (write(fd, text.data(), text.size()) != (ssize_t)text.size()) {
        close(fd);
        return "";
    }
    std::string got;
    int64_t end = clk_RealNowUs() + 2000000;
    while (got.find(marker) == std::string::npos && clk_RealNowUs() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
            char b[512];
            ssize_t n = read(fd, b, sizeof b);
            if (n > 0) got.append(b, (size_t)n);
        }
    }
    close(fd);
    return got;
}

TEST(ModemsimProgram, PublishesAnswersAndReportsAtSigterm) {
    testsupport::TempDir dir;
    std::string ready = dir.file("ready"), report = dir.file("report.json");
    std::string hookLog = dir.file("hook.log");
    pid_t pid = spawn({MODEMSIM_EXE, "--dev-root", dir.file("dev"), "--sysfs-root", dir.file("sys"),
                       "--time-scale", "100", "--ready-file", ready, "--report", report, "--fault",
                       "autorun-stuck", "--on-publish",
                       "echo \"$MODEMSIM_EVENT $MODEMSIM_TTY $MODEMSIM_COM\" >> " + hookLog},
                      dir.file("stderr"));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForFile(ready, 5000));
    EXPECT_EQ(testsupport::readFile(ready), "ttyACM0\n");
    std::string a = talk(dir.file("dev/ttyACM0"), "ATE0\r\nAT%USBMODEM=1\r\n", "OK\r\n\r\nOK\r\n");
    EXPECT_NE(a.find("\r\nOK\r\n\r\nOK\r\n"), std::string::npos) << a;
    kill(pid, SIGTERM);
    EXPECT_EQ(waitExit(pid), 0);
    std::string j = testsupport::readFile(report);
    EXPECT_NE(j.find("\"commands\": [\"ATE0\", \"AT%USBMODEM=1\"]"), std::string::npos) << j;
    EXPECT_NE(j.find("\"autorun\": 0"), std::string::npos) << j;
    EXPECT_NE(j.find("\"mode\": 0"), std::string::npos) << j;
    EXPECT_EQ(testsupport::readFile(hookLog), "publish ttyACM0 65\nunpublish ttyACM0 65\n");
    struct stat st;
    EXPECT_NE(lstat(dir.file("dev/ttyACM0").c_str(), &st), 0);
}

TEST(ModemsimProgram, RefusesABadFaultLineWithStatusTwo) {
    testsupport::TempDir dir;
    pid_t pid = spawn({MODEMSIM_EXE, "--dev-root", dir.file("dev"), "--sysfs-root", dir.file("sys"),
                       "--fault", "late AT"},
                      dir.file("stderr"));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitExit(pid), 2);
    EXPECT_NE(testsupport::readFile(dir.file("stderr")).find("late needs ms=N"), std::string::npos);
}

TEST(ModemsimProgram, RefusesUnknownOptions) {
    testsupport::TempDir dir;
    pid_t pid = spawn({MODEMSIM_EXE, "--frobnicate"}, dir.file("stderr"));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitExit(pid), 2);
}

TEST(ModemsimProgram, DocumentsTheScenarioFormatInItsHelp) {
    testsupport::TempDir dir;
    std::string out = dir.file("help");
    std::vector<std::string> args = {MODEMSIM_EXE, "--help"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_EQ(waitExit(pid), 0);
    std::string h = testsupport::readFile(out);
    for (const char* word : {"reject-block", "vanish", "renumber", "--on-publish", "--report"}) {
        EXPECT_NE(h.find(word), std::string::npos) << word;
    }
}

}  // namespace

#endif
