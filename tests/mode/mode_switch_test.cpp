// Switching modes with the port dropped and reopened, entering the loader and recovering the
// modem mode, against the simulated modem over a pty with a scaled clock.
#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/at.h"
#include "engine/engine_lock.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "mode_fixture.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "report/notify.h"
#include "report/wait.h"

namespace modetest {
namespace {

using Lines = std::vector<std::string>;

// The GBK texts of the log, as bytes.
const char kReopenFailedFormat[] =  // "SeletMode: attempt %d to open the port failed"
    "SeletMode: \xb5\xda%d\xb4\xce\xb4\xf2\xbf\xaa\xb6\xcb\xbf\xda\xca\xa7\xb0\xdc\n";
const char kSwitchFailed[] =  // "SelectMode: mode switch failed"
    "SelectMode: \xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc\n";
const char kLoaderReopenFailed[] =  // "opening the port after the switch to MODE 1 failed!"
    "\xc7\xd0\xbb\xbb\xb5\xbdMODE 1\xba\xf3\xb4\xf2\xbf\xaa\xb6\xcb\xbf\xda\xca\xa7\xb0\xdc!\n";
const char kLoaderSwitchFailed[] =  // "the switch to MODE 1 failed!"
    "\xc7\xd0\xbb\xbb\xb5\xbdMODE 1\xca\xa7\xb0\xdc!\n";

std::string reopenFailed(int n) {
    char text[128];
    snprintf(text, sizeof text, kReopenFailedFormat, n);
    return text;
}

int count(const Lines& lines, const std::string& what) {
    int n = 0;
    for (const std::string& l : lines) n += l == what;
    return n;
}

bool lockIsFree() {
    if (!lock_TryAcquire(engine_ModeSwitchLock())) return false;
    lock_Release(engine_ModeSwitchLock());
    return true;
}

// Every hold of the engine's lock by the engine's thread: whether the port was open when the
// lock was taken and when it was released, and the thread's paused milliseconds at each end.
class LockTrace {
  public:
    struct Hold {
        int openAtTake = -1, openAtRelease = -1;
        int64_t sleptAtTake = 0, sleptAtRelease = 0;
    };
    LockTrace() : thread_(std::this_thread::get_id()) {
        lock_SetObserver(&LockTrace::observe, this);
    }
    ~LockTrace() { lock_SetObserver(nullptr, nullptr); }
    const std::vector<Hold>& holds() const { return holds_; }
    // The pauses between one hold's release and the next hold's take.
    std::vector<int64_t> pauses() const {
        std::vector<int64_t> out;
        for (size_t i = 1; i < holds_.size(); ++i)
            out.push_back(holds_[i].sleptAtTake - holds_[i - 1].sleptAtRelease);
        return out;
    }
    // Nothing paused while the lock was held.
    bool noPauseWhileHeld() const {
        for (const Hold& h : holds_)
            if (h.sleptAtRelease != h.sleptAtTake || h.openAtRelease < 0) return false;
        return true;
    }

  private:
    static void observe(void* self, PlatformLock* lock, int acquired) {
        auto* t = static_cast<LockTrace*>(self);
        if (lock != engine_ModeSwitchLock() || std::this_thread::get_id() != t->thread_) return;
        int open = ctx_Get(kPort)->isOpen;
        if (acquired) {
            t->holds_.push_back({open, -1, clk_ThreadSleptMs(), 0});
        } else if (!t->holds_.empty()) {
            t->holds_.back().openAtRelease = open;
            t->holds_.back().sleptAtRelease = clk_ThreadSleptMs();
        }
    }
    std::thread::id thread_;
    std::vector<Hold> holds_;
};

class ModeSwitch : public ModeTest {};

TEST_F(ModeSwitch, AlreadyInLoaderModeSendsNoModeCommandAndEchoOffTwice) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    startModem(o);
    EXPECT_EQ(mode_EnterLoader(kPort), 1);
    EXPECT_EQ(sim.commands(), (Lines{"ATE0", "AT%MODE?", "ATE0"}));
    EXPECT_EQ(log(), (std::vector<LogEntry>{{'I', "change to Loader mode success\n"}}));
}

TEST_F(ModeSwitch, EntersTheLoaderAndReopensTheSamePort) {
    startModem(options());
    mark();
    EXPECT_EQ(mode_EnterLoader(kPort), 1);
    EXPECT_GE(elapsedMs(), 20000);  // the pause after the mode command
    EXPECT_EQ(sim.mode(), 1);
    EXPECT_EQ(sim.publishCount(), 2);
    EXPECT_STREQ(ctx_Get(kPort)->portName, "COM65");
    EXPECT_EQ(ctx_Get(kPort)->isOpen, 1);
    EXPECT_EQ(log(), (std::vector<LogEntry>{{'I', "the port is COM65\n\n"},
                                            {'I', "change to Loader mode success\n"}}));
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ModeSwitch, FindsTheModemUnderItsNewComNumber) {
    modemsim::SimOptions o = options();
    o.renumberOnSwitch = true;
    startModem(o);
    EXPECT_EQ(mode_Switch(kPort, 1), 1);
    EXPECT_STREQ(ctx_Get(kPort)->portName, "COM66");
    EXPECT_EQ(sim.comNumber(), 66);
    EXPECT_EQ(mode_Query(kPort), 1);
    EXPECT_EQ(log(), (std::vector<LogEntry>{{'I', "the port is COM66\n\n"}}));
}

TEST_F(ModeSwitch, EightFailedReopensAreNumberedThenTheSwitchFailsWithSix) {
    modemsim::SimOptions o = options();
    o.scenario = "never-return\n";
    startModem(o);
    mark();
    EXPECT_EQ(mode_Switch(kPort, 1), 6);
    EXPECT_GE(elapsedMs(), 36000);  // 20 s, then 2 s after each of the 8 attempts
    std::vector<LogEntry> expected;
    for (int n = 1; n <= 8; ++n) expected.push_back({'E', reopenFailed(n)});
    expected.push_back({'E', kSwitchFailed});
    EXPECT_EQ(log(), expected);
    PortContext* c = ctx_Get(kPort);
    EXPECT_EQ(c->portHandle, SERIAL_INVALID_HANDLE);
    EXPECT_EQ(c->baudRate, -1);
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ModeSwitch, RecoveryOfAModemThatNeverReturnsEndsAfterEightReopenAttempts) {
    modemsim::SimOptions o = options();
    o.scenario = "never-return\n";
    startModem(o);
    ASSERT_EQ(mode_Switch(kPort, 1), 6);
    size_t before = log().size();
    int64_t slept = clk_ThreadSleptMs();
    EXPECT_EQ(mode_RecoverModem(kPort), 6);
    // 2 s after each of the 8 attempts, and no mode switch of 20 s on a port that is not there.
    EXPECT_EQ(clk_ThreadSleptMs() - slept, 16000);
    std::vector<LogEntry> entries = log();
    std::vector<LogEntry> expected;
    for (int n = 1; n <= 8; ++n) expected.push_back({'E', reopenFailed(n)});
    expected.push_back({'E', kSwitchFailed});
    expected.push_back({'E', "Recover Setting fail!\n"});
    EXPECT_EQ(std::vector<LogEntry>(entries.begin() + static_cast<long>(before), entries.end()),
              expected);
    EXPECT_EQ(statusTexts(), (Lines(2, "Recupero dati fallito, riavviare il modem!")));
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ModeSwitch, RecoveryReopensAPortThatVanishedAndCameBack) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    o.scenario = "vanish AT+GMR return=2000\n";
    startModem(o);
    EXPECT_LT(at_Send(kPort, "AT+GMR\r\n"), 1);
    ASSERT_NE(ctx_Get(kPort)->portHandle, SERIAL_INVALID_HANDLE) << "the handle is still open";
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(count(sim.commands(), "AT%MODE=0"), 1);
    EXPECT_EQ(statusTexts(), (Lines(2, "Recupero dati completato!")));
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ModeSwitch, RecoveryReopensAClosedPortFirst) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    startModem(o);
    com_Close(kPort);
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(count(sim.commands(), "AT%MODE=0"), 1);
}

TEST_F(ModeSwitch, EnterLoaderReportsAPortThatDidNotComeBack) {
    modemsim::SimOptions o = options();
    o.scenario = "never-return\n";
    startModem(o);
    EXPECT_EQ(mode_EnterLoader(kPort), 6);
    std::vector<LogEntry> e = errors();
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e.back().text, kLoaderReopenFailed);
    EXPECT_EQ(count(sim.commands(), "AT%MODE=1"), 1);  // no retry after a lost port
}

// The first refusal closes the port (mode_Switch); the first retry opens it again at once,
// so that all seven mode commands reach the modem instead of six going to a closed port.
TEST_F(ModeSwitch, ARefusedLoaderCommandIsRetriedSixTimesOnThePortOpenedAgain) {
    modemsim::SimOptions o = options();
    o.scenario = "refuse AT%MODE=1 times=all\n";
    startModem(o);
    LockTrace trace;
    EXPECT_EQ(mode_EnterLoader(kPort), 4);
    // Seven commands and the one reopen, six 2-second pauses and never the 20-second one.
    EXPECT_EQ(trace.holds().size(), 8u);
    EXPECT_EQ(trace.pauses(), (std::vector<int64_t>{2000, 0, 2000, 2000, 2000, 2000, 2000}));
    EXPECT_TRUE(trace.noPauseWhileHeld());
    EXPECT_EQ(count(sim.commands(), "AT%MODE=1"), 7);
    EXPECT_EQ(errors(), (std::vector<LogEntry>{{'E', kLoaderSwitchFailed}}));
    EXPECT_EQ(ctx_Get(kPort)->isOpen, 1) << "the same-port retries leave a refused port open";
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ModeSwitch, TheSamePortSwitchKeepsThePortOpenWhenRefused) {
    modemsim::SimOptions o = options();
    o.scenario = "refuse AT%MODE=1\n";
    startModem(o);
    EXPECT_EQ(mode_SwitchSamePort(kPort, 1), 4);
    EXPECT_EQ(ctx_Get(kPort)->isOpen, 1);
    EXPECT_EQ(at_Send(kPort, "AT\r\n"), 1);
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ModeSwitch, TheModeSwitchClosesThePortWhenRefused) {
    modemsim::SimOptions o = options();
    o.scenario = "refuse AT%MODE=1\n";
    startModem(o);
    EXPECT_EQ(mode_Switch(kPort, 1), 4);
    EXPECT_EQ(ctx_Get(kPort)->isOpen, 0);
    EXPECT_TRUE(lockIsFree());
}

// The lock is held while the mode command is sent and the port closed, and again for each
// single reopen attempt; it is free through the 20-second and the 2-second pauses.
TEST_F(ModeSwitch, TheLockCoversTheCommandAndEachReopenAttemptButNoPause) {
    // Back about 23 s after the command: after the 20-second pause, before the eighth attempt
    // (34 s). The simulated modem waits in short steps that each cost real time on top, so a
    // gentler scale keeps its lag small.
    clk_SetScale(20);
    modemsim::SimOptions o = options();
    o.scenario = "return-late ms=20000\n";
    startModem(o);
    LockTrace trace;
    ASSERT_EQ(mode_Switch(kPort, 1), 1);
    const std::vector<LockTrace::Hold>& h = trace.holds();
    ASSERT_GE(h.size(), 3u) << "the command, at least one failed attempt, the good one";
    EXPECT_TRUE(trace.noPauseWhileHeld());
    // The command's hold: taken on the open port, released only once it is closed.
    EXPECT_EQ(h[0].openAtTake, 1);
    EXPECT_EQ(h[0].openAtRelease, 0);
    // Each reopen attempt opens the port inside its own hold; only the last one succeeds.
    for (size_t i = 1; i < h.size(); ++i) {
        EXPECT_EQ(h[i].openAtTake, 0) << i;
        EXPECT_EQ(h[i].openAtRelease, i + 1 == h.size() ? 1 : 0) << i;
    }
    std::vector<int64_t> expected(h.size() - 1, 2000);
    expected[0] = 20000;
    EXPECT_EQ(trace.pauses(), expected);
    int failed = 0;
    for (const LogEntry& e : errors()) failed += e.text.rfind("SeletMode", 0) == 0;
    EXPECT_EQ(failed, static_cast<int>(h.size()) - 2);
}

TEST_F(ModeSwitch, ALoaderQueryWithoutColonStillSwitches) {
    ScriptedModem modem(devRoot, [](const std::string& line) -> std::string {
        if (line == "AT%MODE?") return "\r\nMODE 1\r\nOK\r\n";
        if (line == "AT%MODE=1") return "\r\nERROR\r\n";
        return "\r\nOK\r\n";
    });
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    EXPECT_EQ(mode_EnterLoader(kPort), 4);
    Lines expected{"ATE0", "AT%MODE?"};
    expected.insert(expected.end(), 7, "AT%MODE=1");  // the port is opened again by its name
    EXPECT_EQ(modem.lines(), expected);
}

TEST_F(ModeSwitch, RecoveryInModemModeSendsNoModeCommand) {
    startModem(options());
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    EXPECT_EQ(sim.commands(), Lines{"AT%MODE?"});
    EXPECT_EQ(statusTexts(), (Lines{"Recupero dati completato!", "Recupero dati completato!"}));
    EXPECT_EQ(log(), (std::vector<LogEntry>{{'I', "recover to Modem mode success\n"}}));
}

TEST_F(ModeSwitch, RecoveryPostsItsFirstStatusBeforeAskingTheModem) {
    std::mutex seen;  // the modem's thread writes statusAtQuery, the test reads it
    std::string statusAtQuery;
    ScriptedModem modem(devRoot, [&](const std::string& line) -> std::string {
        if (line == "AT%MODE?") {
            std::lock_guard<std::mutex> hold(seen);
            statusAtQuery = notify_Slot(MSG_DL_STATUS, kPort);
            return "\r\n%MODE: 0\r\nOK\r\n";
        }
        return "\r\nERROR\r\n";
    });
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    std::lock_guard<std::mutex> hold(seen);
    EXPECT_EQ(statusAtQuery, "Recupero dati......");
    EXPECT_EQ(statusTexts().size(), 2u);
    EXPECT_STREQ(notify_Slot(MSG_DL_STATUS, kPort), "Recupero dati completato!");
}

TEST_F(ModeSwitch, RecoveryFromTheLoaderSwitchesBackToModemMode) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    startModem(o);
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(ctx_Get(kPort)->targetMode, 0);
    EXPECT_EQ(count(sim.commands(), "AT%MODE=0"), 1);
    EXPECT_EQ(statusTexts(), (Lines{"Recupero dati completato!", "Recupero dati completato!"}));
}

// Every refusal closes the port; the modem answered, so the port is reopened before each of
// the six retries and all seven mode commands reach it.
TEST_F(ModeSwitch, RecoveryGivesUpAfterSevenSwitches) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    o.scenario = "refuse AT%MODE=0 times=all\n";
    startModem(o);
    LockTrace trace;
    EXPECT_EQ(mode_RecoverModem(kPort), 4);
    EXPECT_EQ(count(sim.commands(), "AT%MODE=0"), 7);
    // The mode commands and the reopens between them: 2 s before each reopen, none after it.
    EXPECT_EQ(trace.holds().size(), 13u);
    std::vector<int64_t> pauses;
    for (int i = 0; i < 6; ++i) pauses.insert(pauses.end(), {2000, 0});
    EXPECT_EQ(trace.pauses(), pauses);
    EXPECT_EQ(errors(), (std::vector<LogEntry>{{'E', "Recover Setting fail!\n"}}));
    EXPECT_EQ(statusTexts(), (Lines(2, "Recupero dati fallito, riavviare il modem!")));
    EXPECT_TRUE(lockIsFree());
}

// A modem that let one mode command go unanswered but answered the query before it is alive:
// the recovery reopens the port its failed switch closed, and the next try brings it back.
TEST_F(ModeSwitch, RecoveryReopensThePortAfterAnUnansweredModeCommand) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    o.scenario = "ignore AT%MODE=0\n";
    startModem(o);
    at_SetTimeout(kPort, 3);
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(count(sim.commands(), "AT%MODE=0"), 2);
    EXPECT_EQ(statusTexts(), (Lines(2, "Recupero dati completato!")));
    EXPECT_TRUE(lockIsFree());
}

// A modem that has answered nothing but its echo to the recovery's query is asked once, in
// seconds, whether it still answers; it is sent no mode command that would wait another whole
// AT time-out, and nothing goes to a closed port.
TEST_F(ModeSwitch, RecoveryStopsAtAModemThatSaysNothingAfterOneTimeOut) {
    modemsim::SimOptions o = options();
    o.initialMode = 1;
    o.scenario = "silent AT%MODE?\n";
    startModem(o);
    const int timeout = 200;
    at_SetTimeout(kPort, timeout);
    LockTrace trace;
    mark();
    EXPECT_EQ(mode_RecoverModem(kPort), 4);
    EXPECT_EQ(trace.holds().size(), 0u) << "no mode command, no reopen";
    // The check lasts its time-out, or at least its empty reads of about 10 ms real time each.
    const int64_t checkMs =
        std::max<int64_t>(AT_ALIVE_TIMEOUT_S * 1000, AT_ALIVE_MIN_EMPTY_READS * 10 * kScale * 2);
    EXPECT_LT(elapsedMs(), (timeout + 1) * 1000 + checkMs) << "one time-out and a check";
    EXPECT_EQ(sim.commands(), (Lines{"AT%MODE?"})) << "the check's AT goes to a silent modem";
    std::vector<WaitNotice> w = waits();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.front().kind, WAIT_ANSWER);
    EXPECT_STREQ(w.front().command, "AT%MODE?");
    bool checked = false;
    for (const WaitNotice& n : w) checked = checked || (n.kind == WAIT_ALIVE);
    EXPECT_TRUE(checked);
    EXPECT_EQ(ctx_Get(kPort)->silent, 2) << "checked, and found silent";
    EXPECT_EQ(sim.mode(), 1);
    EXPECT_EQ(statusTexts(), (Lines(2, "Recupero dati fallito, riavviare il modem!")));
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ModeSwitch, RecoveryRestoresTheLineSpeedFirst) {
    modemsim::SimOptions o = options();
    o.initialMode = 0;
    startModem(o);
    ctx_Get(kPort)->baudRate = 921600;
    EXPECT_EQ(mode_RecoverModem(kPort), 1);
    Lines cmds = sim.commands();
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], "AT+IPR=115200");
    EXPECT_EQ(cmds[1], "AT%MODE?");
}

}  // namespace
}  // namespace modetest
