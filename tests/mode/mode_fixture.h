// What the mode-control tests share: private dev and sysfs roots, a scaled clock, the log and
// status texts the engine produced, and a scripted peer on a pty for the replies the
// simulated modem never gives.
#ifndef MODEMFLASH_TESTS_MODE_FIXTURE_H
#define MODEMFLASH_TESTS_MODE_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modem_sim.h"
#include "platform/registry.h"
#include "report/job_observer.h"
#include "report/wait.h"
#include "support/test_support.h"

namespace modetest {

const int kPort = 0;
const double kScale = 100.0;  // 20 s pauses take 200 ms

// One log entry: 'E' for log_Error, 'I' for log_Info, then the text.
struct LogEntry {
    char kind;
    std::string text;
    bool operator==(const LogEntry& o) const { return kind == o.kind && text == o.text; }
};

class ModeTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the simulated modem on ttyACM0 (COM65) and opens the port on kPort.
    void startModem(modemsim::SimOptions o);
    modemsim::SimOptions options() const;

    // The log without the lines of wait notices, which waits() holds.
    std::vector<LogEntry> log();
    std::vector<LogEntry> errors();
    std::vector<WaitNotice> waits();
    // What the status messages posted on this thread for kPort point at, one entry per
    // message. They all carry the port's one text slot, so every entry is the latest text.
    std::vector<std::string> statusTexts();
    // Scaled milliseconds since mark().
    void mark();
    int64_t elapsedMs() const;

    testsupport::TempDir dir;
    std::string devRoot;
    std::string sysRoot;
    std::unique_ptr<testsupport::ScopedEnv> devEnv;
    std::unique_ptr<testsupport::ScopedEnv> sysEnv;
    modemsim::ModemSim sim;

  private:
    static void hook(void* self, int port, int isError, const char* text);
    // Keeps the wait notices of kPort's jobs.
    struct WaitWatch : public IJobObserver {
        ModeTest* test;
        explicit WaitWatch(ModeTest* t) : test(t) {}
        void OnPhase(int, JobPhase, int) override {}
        void OnWait(int port, const WaitNotice& notice) override;
    };
    WaitWatch waitWatch_{this};
    std::mutex mu_;
    std::vector<LogEntry> log_;
    std::vector<WaitNotice> waits_;
    std::string lastWaitLine_;  // the line of the last notice, which the log hook receives next
    const RegistryBackend* previousBackend_ = nullptr;
    int64_t mark_ = 0;
};

// A peer on a pty published as <devRoot>/ttyACM0: answers each command line (without its
// CR LF) with what reply() returns, on its own thread, and records the lines.
class ScriptedModem {
  public:
    ScriptedModem(const std::string& devRoot, std::function<std::string(const std::string&)> reply);
    ~ScriptedModem();
    std::vector<std::string> lines();
    testsupport::PtyPeer& peer() { return peer_; }

  private:
    testsupport::PtyPeer peer_;
    std::function<std::string(const std::string&)> reply_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

}  // namespace modetest

#endif
