// The recovery and the reopens of a modem that went away or fell silent: waited for as a mode
// switch waits, never written to while its port is not open, and every wait announced.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/at.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "mode_fixture.h"
#include "platform/clock.h"
#include "report/log.h"
#include "report/wait.h"

namespace modetest {
namespace {

using Lines = std::vector<std::string>;

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<WaitNotice> ofKind(const std::vector<WaitNotice>& waits, int kind) {
    std::vector<WaitNotice> out;
    for (const WaitNotice& w : waits)
        if (w.kind == kind) out.push_back(w);
    return out;
}

class Recovery : public ModeTest {
  protected:
    // The port's log file: it receives the channel's lines, which the log hook does not.
    std::string startLogFile() {
        std::string path = dir.file("engine.log");
        EXPECT_EQ(log_OpenFile(kPort, path.c_str()), 1);
        return path;
    }
    void TearDown() override {
        log_CloseFile(kPort);
        ModeTest::TearDown();
    }
};

// Back 20 s after it went, as after a mode switch: the recovery waits as long as a switch would,
// counted from the moment the port went away, and brings the modem back to modem mode.
TEST_F(Recovery, FindsAModemBackTwentySecondsAfterItsPortWentAway) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    o.scenario = "vanish AT+GMR return=20000\n";
    startModem(o);
    mark();
    EXPECT_LT(at_Send(kPort, "AT+GMR\r\n"), 1);
    int64_t wentAt = ctx_Get(kPort)->goneAtMs;
    EXPECT_NE(wentAt, 0) << "the channel noted when the device went";
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(sim.publishCount(), 3) << "back once by itself, once after the switch to mode 0";
    EXPECT_GE(elapsedMs(), 20000);
    std::vector<WaitNotice> vanished = ofKind(waits(), WAIT_VANISHED);
    ASSERT_EQ(vanished.size(), 1u);
    EXPECT_LE(vanished[0].upToSeconds, MODE_SWITCH_PAUSE_S + MODE_REOPEN_ATTEMPTS * 2 + 1);
    EXPECT_GE(vanished[0].upToSeconds, MODE_REOPEN_ATTEMPTS * 2);
    EXPECT_EQ(statusTexts(), (Lines(2, "Recupero dati completato!")));
}

// A modem that went away for good: the recovery waits for it, gives up with 6 and writes to
// nothing: no mode or autorun command goes to the closed port.
TEST_F(Recovery, WritesNothingToThePortOfAModemThatDidNotComeBack) {
    std::string logFile = startLogFile();
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    o.scenario = "vanish AT+GMR\n";
    startModem(o);
    EXPECT_LT(at_Send(kPort, "AT+GMR\r\n"), 1);
    EXPECT_EQ(mode_RecoverModem(kPort), 6);
    // Waited as after a switch, counted from when the port went.
    int64_t wentAt = ctx_Get(kPort)->goneAtMs;
    EXPECT_NE(wentAt, 0);
    EXPECT_GE(clk_NowMs() - wentAt, (MODE_SWITCH_PAUSE_S + MODE_REOPEN_ATTEMPTS * 2) * 1000);
    EXPECT_EQ(ctx_Get(kPort)->isOpen, 0);
    log_CloseFile(kPort);
    std::string text = testsupport::readFile(logFile);
    EXPECT_EQ(occurrences(text, "Bad file descriptor"), 0) << text;
    EXPECT_EQ(occurrences(text, "is not open"), 0) << text;
    EXPECT_EQ(occurrences(text, "#Error: failed to open"), MODE_REOPEN_ATTEMPTS) << text;
    EXPECT_EQ(statusTexts(), (Lines(2, "Recupero dati fallito, riavviare il modem!")));
}

// The step that failed was met with silence: the recovery checks in seconds that the modem
// still answers and, when it does not, ends without a single AT time-out of its own.
TEST_F(Recovery, ASilentModemCostsAShortCheckAndNoTimeOut) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    o.scenario = "silent AT+GMR\n";
    startModem(o);
    const int timeout = 200;
    at_SetTimeout(kPort, timeout);
    EXPECT_EQ(at_Send(kPort, "AT+GMR\r\n"), -1);
    EXPECT_EQ(ctx_Get(kPort)->silent, 1);
    mark();
    EXPECT_EQ(mode_RecoverModem(kPort), 4);
    // The check lasts its time-out, or at least its empty reads of about 10 ms real time each.
    const int64_t checkMs =
        std::max<int64_t>(AT_ALIVE_TIMEOUT_S * 1000, AT_ALIVE_MIN_EMPTY_READS * 10 * kScale * 2);
    EXPECT_LT(elapsedMs(), checkMs + 5000) << "no time-out of its own";
    EXPECT_LT(checkMs + 5000, timeout * 1000);
    EXPECT_EQ(sim.commands(), (Lines{"AT+GMR"}));
    std::vector<WaitNotice> checks = ofKind(waits(), WAIT_ALIVE);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_STREQ(checks[0].command, "AT+GMR");
}

// A modem that ignored one command but answers the check is recovered as usual.
TEST_F(Recovery, AModemThatIgnoredOneCommandAndAnswersTheCheckIsRecovered) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    o.scenario = "ignore AT+GMR\n";
    startModem(o);
    at_SetTimeout(kPort, 3);
    EXPECT_EQ(at_Send(kPort, "AT+GMR\r\n"), -1);
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(ctx_Get(kPort)->silent, 0);
}

// While the modem is away after a switch the console shows no error: the failed attempts that
// come before the one that works reach the log file only, and each attempt after the first is
// announced as "attempt k of 8".
TEST_F(Recovery, ReopenAttemptsThatMayYetWorkStayOffTheConsole) {
    std::string logFile = startLogFile();
    clk_SetScale(20);  // back about 3 s after the pause; the modem's own lag stays small
    modemsim::SimOptions o = options();
    o.scenario = "return-late ms=20000\n";
    startModem(o);
    int result;
    std::string console;
    {
        testsupport::CapturedStream err(2);
        result = mode_Switch(kPort, 1);
        console = err.text();
    }
    ASSERT_EQ(result, 1);
    EXPECT_EQ(occurrences(console, "failed to open"), 0) << console;
    EXPECT_EQ(occurrences(console, "SeletMode"), 0) << console;
    log_CloseFile(kPort);
    int failed = occurrences(testsupport::readFile(logFile), "#Error: failed to open");
    EXPECT_GE(failed, 1) << "the log file keeps them";
    std::vector<WaitNotice> back = ofKind(waits(), WAIT_PORT_BACK);
    ASSERT_EQ(static_cast<int>(back.size()), failed);
    for (size_t i = 0; i < back.size(); ++i) {
        EXPECT_EQ(back[i].attempt, static_cast<int>(i) + 2);
        EXPECT_EQ(back[i].attempts, 8);
        EXPECT_EQ(back[i].upToSeconds, (8 - back[i].attempt + 1) * 2);
    }
    EXPECT_EQ(waits().back().kind, WAIT_NONE) << "the wait's end is told";
}

// When the reopen finally fails, its last attempt is an error on the console.
TEST_F(Recovery, AReopenThatFinallyFailsIsOneErrorOnTheConsole) {
    modemsim::SimOptions o = options();
    o.scenario = "never-return\n";
    startModem(o);
    ctx_LogLevel(kPort, 2);
    std::string console;
    {
        testsupport::CapturedStream err(2);
        EXPECT_EQ(mode_Switch(kPort, 1), 6);
        console = err.text();
    }
    EXPECT_EQ(occurrences(console, "#Error: failed to open"), 1) << console;
    EXPECT_EQ(occurrences(console, "SeletMode"), 1) << console;
    EXPECT_EQ(occurrences(console, "SelectMode"), 1) << console;
    char line[192];
    WaitNotice last = ofKind(waits(), WAIT_PORT_BACK).back();
    EXPECT_STREQ(wait_Describe(&last, line, sizeof line),
                 "waiting for the modem to come back (attempt 8 of 8); at most 2 s more");
}

// The 20-second pause after a mode command is announced with the longest it may take.
TEST_F(Recovery, TheSwitchPauseIsAnnouncedWithItsLongestWait) {
    startModem(options());
    ASSERT_EQ(mode_Switch(kPort, 1), 1);
    std::vector<WaitNotice> w = waits();
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[0].kind, WAIT_MODE_SWITCH);
    EXPECT_EQ(w[0].mode, 1);
    EXPECT_EQ(w[0].upToSeconds, MODE_SWITCH_PAUSE_S + MODE_REOPEN_ATTEMPTS * 2);
    EXPECT_EQ(w.back().kind, WAIT_NONE);
    char line[192];
    EXPECT_STREQ(wait_Describe(&w[0], line, sizeof line),
                 "waiting for the modem to switch to loader mode and offer its port again; at "
                 "most 36 s");
}

}  // namespace
}  // namespace modetest
