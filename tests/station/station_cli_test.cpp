// modemflash flash --all / --at and modemflash watch, as a user runs them, against simulated
// modems in this process.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "modem_bank.h"
#include "platform/clock.h"
#include "platform/modem_lock.h"
#include "support/command_test.h"
#include "support/test_support.h"

#ifdef MODEMFLASH_CLI_PATH

using testsupport::CommandRun;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class StationCommand : public testsupport::CliTest {
  protected:
    modemsim::ModemBank bank;
    void SetUp() override {
        clk_SetScale(50);
        CliTest::SetUp();
    }
    void TearDown() override {
        bank.stop();
        clk_SetScale(1);
    }
    void startModems(int count, std::map<int, std::string> faults = {}) {
        modemsim::BankOptions o;
        o.devRoot = root.path() + "/dev";
        o.sysfsRoot = root.path() + "/sys";
        o.count = count;
        o.scenarios = faults;
        std::string why;
        ASSERT_TRUE(bank.start(o, &why)) << why;
    }
};

TEST_F(StationCommand, AllUpdatesEveryModemWithLocationLinesLogsAndASummary) {
    startModems(2);
    std::string logs = root.path() + "/logs";
    CommandRun r = run("flash " + firmware + " --all --time-scale 50 --log " + logs, env);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("1-1.1: update begins on COM6"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1-1.2: update complete ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sending file 4 of 7 modem.wrapped"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 of 2 modem(s) updated; 0 failed"), std::string::npos) << r.out;
    // One log file per modem, each with its own port's lines only.
    std::string one = readAll(logs + "/1-1.1.log"), two = readAll(logs + "/1-1.2.log");
    EXPECT_NE(one.find("Programing flash"), std::string::npos);
    EXPECT_NE(two.find("Programing flash"), std::string::npos);
    EXPECT_EQ(one.find("[1-1.2]"), std::string::npos);
    bank.stop();
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(bank.modem(i).hasFlash(0));
    // Each modem's update is recorded, with its location, serial number and log file.
    CommandRun history = run("history --json", env);
    EXPECT_EQ(history.status, 0) << history.out;
    for (int i = 0; i < 2; ++i) {
        std::string l = modemsim::bank_Location(i);
        EXPECT_NE(history.out.find("\"location\":\"" + l + "\",\"serial\":\"" +
                                   modemsim::bank_Serial(i) + "\""),
                  std::string::npos)
            << history.out;
        EXPECT_NE(history.out.find("\"log\":\"" + logs + "/" + l + ".log\""), std::string::npos)
            << history.out;
    }
    size_t updated = 0;
    for (size_t p = 0; (p = history.out.find("\"result\":1,", p)) != std::string::npos; ++p)
        ++updated;
    EXPECT_EQ(updated, 2u) << history.out;
}

// Runs a shell command with its standard streams on a pty (a terminal of 100 columns), and
// returns everything it wrote there and its exit status.
CommandRun runOnTerminal(const std::string& command) {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 100;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    CommandRun r{-1, ""};
    if (pid < 0) return r;
    char buf[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) break;  // a minute without output: give up
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the program and its children have closed the terminal
        r.out.append(buf, static_cast<size_t>(n));
    }
    close(master);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}

// What a terminal shows after `text`: lines, "ESC[nA" (up), "ESC[2K" (erase the line), CR, LF.
std::vector<std::string> screenOf(const std::string& text) {
    std::vector<std::string> screen(1);
    size_t row = 0, col = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t j = i + 2;
            int n = 0;
            while (j < text.size() && isdigit(static_cast<unsigned char>(text[j])))
                n = n * 10 + (text[j++] - '0');
            if (j < text.size() && text[j] == 'A') row -= std::min<size_t>(row, n ? n : 1);
            if (j < text.size() && text[j] == 'K') screen[row].clear();
            i = j;
        } else if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            if (++row == screen.size()) screen.emplace_back();
            col = 0;
        } else {
            std::string& line = screen[row];
            if (line.size() <= col) line.resize(col + 1, ' ');
            line[col++] = c;
        }
    }
    return screen;
}

// On a terminal every modem has one line, redrawn in place; at the end it holds the modem's
// location, its full bar and its result in words, and the summary follows the block.
TEST_F(StationCommand, OnATerminalEachModemHasOneLineRedrawnInPlace) {
    startModems(2);
    CommandRun r = runOnTerminal(env + " " MODEMFLASH_CLI_PATH " flash " + firmware +
                                 " --all --time-scale 50");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\x1b[2A"), std::string::npos) << "the two lines were never redrawn";
    std::vector<std::string> screen = screenOf(r.out);
    std::vector<std::string> modemLines;
    for (const std::string& line : screen)
        if (line.compare(0, 4, "1-1.") == 0 && line.find('[') != std::string::npos)
            modemLines.push_back(line);
    ASSERT_EQ(modemLines.size(), 2u) << r.out;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(modemLines[i].compare(0, 5, modemsim::bank_Location(i)), 0) << modemLines[i];
        EXPECT_NE(modemLines[i].find("[####################] 100%"), std::string::npos)
            << modemLines[i];
        EXPECT_NE(modemLines[i].find("update complete"), std::string::npos) << modemLines[i];
    }
    std::string shown;
    for (const std::string& line : screen) shown += line + "\n";
    EXPECT_NE(shown.find("2 of 2 modem(s) updated; 0 failed"), std::string::npos) << shown;
}

// --json is whole: every line on either stream is a JSON object; the folder check comes first
// as objects of its own (it belongs to no modem), then every object names its modem, the
// library's own lines among them; texts in UTF-8, the library's GBK lines too.
TEST_F(StationCommand, JsonIsWholeAndEveryModemsObjectCarriesItsLocation) {
    startModems(2, {{1, "never-return switch=1\n"}});
    CommandRun r =
        run("flash " + firmware + " --all --json --time-scale 50", env + " LC_ALL=C.UTF-8");
    EXPECT_EQ(r.status, 7) << r.out;
    std::istringstream lines(r.out);
    std::string line;
    int objects = 0, checks = 0, logs = 0;
    bool modemSeen = false;
    while (std::getline(lines, line)) {
        ++objects;
        EXPECT_EQ(line.rfind("{\"type\":\"", 0), 0u) << "not a JSON object: " << line;
        bool check = line.rfind("{\"type\":\"check\"", 0) == 0;
        // The summary and the station's notices (the time scale) are about the run.
        bool summary = line.find("\"type\":\"summary\"") != std::string::npos ||
                       line.rfind("{\"type\":\"notice\"", 0) == 0;
        if (check) {
            ++checks;
            EXPECT_FALSE(modemSeen) << "the folder check comes first: " << line;
            EXPECT_EQ(line.find("\"location\""), std::string::npos) << line;
        } else if (line.rfind("{\"type\":\"log\",\"stream\":\"stderr\",\"text\":\"[] ", 0) == 0) {
            // The message box of a failed switch to loader mode: the library shows it outside
            // any modem's log, so no location is known for it.
        } else if (!summary) {
            modemSeen = true;
            EXPECT_NE(line.find("\"location\":\"1-1."), std::string::npos) << line;
        }
        if (line.rfind("{\"type\":\"log\",\"location\":\"1-1.", 0) == 0) ++logs;
    }
    EXPECT_GT(objects, 10);
    EXPECT_GE(checks, 9) << "what update_config.ini selects and each file";
    EXPECT_GT(logs, 5) << r.out;
    // The mode switch's failure, in Chinese as the library writes it, as UTF-8.
    EXPECT_NE(r.out.find("{\"type\":\"log\",\"location\":\"1-1.2\",\"port\":\"COM"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"stream\":\"stderr\",\"text\":\"SelectMode: \u6a21\u5f0f\u5207\u6362"
                         "\u5931\u8d25\"}"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("\xc4\xa3\xca\xbd"), std::string::npos) << "no GBK bytes";
    EXPECT_NE(
        r.out.find("{\"type\":\"summary\",\"modems\":2,\"updated\":1,\"failed\":1,\"left_out\":0,"
                   "\"exit\":7}"),
        std::string::npos);
}

// In a UTF-8 locale the plain lines are UTF-8 whether or not the output is a terminal; in
// another locale the library's bytes go out as it wrote them.
TEST_F(StationCommand, TheLibrarysChineseLinesAreUtf8InAUtf8Locale) {
    startModems(1, {{0, "never-return switch=1\n"}});
    const std::string gbk = "SelectMode: \xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc";
    const std::string utf8 = "SelectMode: \u6a21\u5f0f\u5207\u6362\u5931\u8d25";
    CommandRun r =
        run("flash " + firmware + " --all --time-scale 50 --log " + root.path() + "/logs",
            env + " LC_ALL=C.UTF-8");
    EXPECT_EQ(r.status, 7) << r.out;
    EXPECT_NE(r.out.find("[1-1.1] " + utf8), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(gbk), std::string::npos) << r.out;
    std::string log = readAll(root.path() + "/logs/1-1.1.log");
    EXPECT_NE(log.find(utf8), std::string::npos) << "the log file too: " << log;
    EXPECT_EQ(log.find(gbk), std::string::npos) << log;
    bank.stop();
    startModems(1, {{0, "never-return switch=1\n"}});
    r = run("flash " + firmware + " --all --time-scale 50", env + " LC_ALL=C");
    EXPECT_NE(r.out.find("[1-1.1] " + gbk), std::string::npos) << r.out;
}

TEST_F(StationCommand, TheFirstFailureInLocationOrderGivesTheStatus) {
    startModems(3, {{1, "refuse AT%PROG=2 times=all\nrefuse AT%PROG=1 times=all\n"},
                    {2, "never-return switch=1\n"}});
    CommandRun r = run("flash " + firmware + " --all --time-scale 50", env);
    EXPECT_EQ(r.status, 5) << r.out;  // 1-1.2 refused to program; 1-1.3's mode failure is later
    EXPECT_NE(r.out.find("1 of 3 modem(s) updated; 2 failed"), std::string::npos) << r.out;
}

// The single host's modal box would appear once per modem and hold each failed modem's
// recovery until clicked: in a station the box's text is that modem's own labelled line.
TEST_F(StationCommand, ALoaderRefusalIsTheModemsOwnLineNotAMessageBox) {
    startModems(2, {{0, "refuse AT%MODE=1 times=all\n"}});
    std::string logs = root.path() + "/logs";
    // In a UTF-8 locale the library's GBK text is shown, and logged, in UTF-8.
    CommandRun r =
        run("flash " + firmware + " --all --time-scale 50 --log " + logs, env + " LC_ALL=C.UTF-8");
    EXPECT_EQ(r.status, 4) << r.out;  // the refused mode command ends the job as a failed step
    const std::string box =
        "\xe8\xbf\x9b\xe5\x85\xa5"
        "download"
        "\xe6\xa8\xa1\xe5\xbc\x8f\xe5\xa4\xb1\xe8\xb4\xa5";  // "entering download mode failed"
    EXPECT_EQ(r.out.find("[] " + box), std::string::npos) << r.out;  // the box's stand-in
    EXPECT_NE(r.out.find("[1-1.1] " + box + "\n"), std::string::npos) << r.out;
    // The modem's log file is UTF-8 too; --raw-log keeps the library's bytes there.
    const std::string gbkBox =
        "\xbd\xf8\xc8\xeb"
        "download"
        "\xc4\xa3\xca\xbd\xca\xa7\xb0\xdc";
    std::string log = readAll(logs + "/1-1.1.log");
    EXPECT_NE(log.find(box), std::string::npos) << log;
    EXPECT_EQ(log.find(gbkBox), std::string::npos) << log;
    EXPECT_EQ(readAll(logs + "/1-1.2.log").find(box), std::string::npos);
    EXPECT_NE(r.out.find("1 of 2 modem(s) updated; 1 failed"), std::string::npos) << r.out;
    bank.stop();
    startModems(1, {{0, "refuse AT%MODE=1 times=all\n"}});
    ASSERT_EQ(mkdir((logs + "-raw").c_str(), 0700), 0);
    r = run("flash " + firmware + " --all --time-scale 50 --raw-log --log " + logs + "-raw",
            env + " LC_ALL=C.UTF-8");
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(readAll(logs + "-raw/1-1.1.log").find(gbkBox), std::string::npos);
}

TEST_F(StationCommand, BadLocationsAndOptions) {
    startModems(1);
    CommandRun r = run("flash " + firmware + " --at 3-3 --time-scale 50", env);
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("station: no modem port at location 3-3"), std::string::npos) << r.out;
    EXPECT_TRUE(bank.modem(0).commands().empty());
    EXPECT_EQ(run("flash " + firmware + " --all --at 1-1.1", env).status, 2);
    // A library loaded with --library updates one modem: the station does not pass it over.
    CommandRun library = run("flash " + firmware + " --all --library /nowhere/lib.so", env);
    EXPECT_EQ(library.status, 2) << library.out;
    EXPECT_NE(library.out.find("--library cannot be used with --all"), std::string::npos)
        << library.out;
    EXPECT_TRUE(bank.modem(0).commands().empty());
    EXPECT_EQ(run("flash " + root.path() + "/nothing --all", env).status, 3);
}

TEST_F(StationCommand, WatchUpdatesEachModemOnceAndStopsAtCtrlC) {
    startModems(2);
    std::string out = root.path() + "/watch.out";
    std::string cmd = env + " exec " MODEMFLASH_CLI_PATH " watch " + firmware +
                      " --time-scale 50 > " + out + " 2>&1";
    pid_t pid;
    const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    // Both updated, then some more polls in which nothing is updated twice.
    for (int i = 0; i < 600 && readAll(out).find("1-1.2: update complete") == std::string::npos;
         ++i)
        usleep(50000);
    for (int i = 0; i < 600 && readAll(out).find("1-1.1: update complete") == std::string::npos;
         ++i)
        usleep(50000);
    usleep(300000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string text = readAll(out);
    ASSERT_TRUE(WIFEXITED(status)) << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("2 of 2 modem(s) updated; 0 failed"), std::string::npos) << text;
    bank.stop();
    for (int i = 0; i < 2; ++i) {
        std::vector<std::string> c = bank.modem(i).commands();
        EXPECT_EQ(std::count(c.begin(), c.end(), "AT%DEBUG=99"), 1) << "updated twice";
    }
}

// A modem another process updates is left out of `flash --all` with who holds it and since
// when; the summary counts it apart, and the status says the modem was busy.
TEST_F(StationCommand, AllLeavesOutAModemAnotherProcessHoldsAndSaysWho) {
    startModems(2);
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t holder = fork();
    if (holder == 0) {
        setenv("MODEMFLASH_DEV_ROOT", (root.path() + "/dev").c_str(), 1);
        ModemLock* lock = nullptr;
        char c = static_cast<char>(modemlock_Acquire("1-1.2", "", "", &lock, nullptr));
        if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) != 1) _exit(2);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, MODEM_LOCK_TAKEN);
    CommandRun r = run("flash " + firmware + " --all --time-scale 50", env);
    EXPECT_EQ(write(done[1], &c, 1), 1);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(r.status, 8) << r.out;
    EXPECT_NE(r.out.find("1-1.2: left out: another process is updating it: process " +
                         std::to_string(holder) + " ("),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("1 of 2 modem(s) updated; 0 failed; 1 left out"), std::string::npos)
        << r.out;
    bank.stop();
    EXPECT_TRUE(bank.modem(1).commands().empty());
    EXPECT_TRUE(bank.modem(0).hasFlash(0));
}

// Two stations watching one tree: each modem is updated once, by one of them; the other says
// which process is at work on it.
TEST_F(StationCommand, TwoWatchesOnOneTreeUpdateEachModemOnce) {
    startModems(2);
    std::string out[2] = {root.path() + "/watch1.out", root.path() + "/watch2.out"};
    pid_t pid[2];
    for (int w = 0; w < 2; ++w) {
        std::string cmd = env + " exec " MODEMFLASH_CLI_PATH " watch " + firmware +
                          " --time-scale 50 > " + out[w] + " 2>&1";
        const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
        ASSERT_EQ(
            posix_spawn(&pid[w], "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ),
            0);
        usleep(50000);
    }
    auto said = [&](const std::string& text) {
        return readAll(out[0]).find(text) != std::string::npos ||
               readAll(out[1]).find(text) != std::string::npos;
    };
    for (int i = 0; i < 600 && !(said("1-1.1: update complete") && said("1-1.2: update complete"));
         ++i)
        usleep(50000);
    usleep(1500000);  // more polls: nothing is updated twice
    for (int w = 0; w < 2; ++w) kill(pid[w], SIGINT);
    for (int w = 0; w < 2; ++w) waitpid(pid[w], nullptr, 0);
    std::string both = readAll(out[0]) + "\n----\n" + readAll(out[1]);
    bank.stop();
    for (int i = 0; i < 2; ++i) {
        std::vector<std::string> c = bank.modem(i).commands();
        EXPECT_EQ(std::count(c.begin(), c.end(), "AT%DEBUG=99"), 1) << i << "\n" << both;
        EXPECT_TRUE(bank.modem(i).hasFlash(0));
    }
    EXPECT_NE(both.find("left out: another process is updating it: process "), std::string::npos)
        << both;
}

}  // namespace

#endif
