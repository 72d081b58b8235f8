#include "mode_fixture.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/port_context.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "portscan/modem_port_finder.h"
#include "report/job_observer.h"
#include "report/log.h"
#include "report/notify.h"
#include "report/wait.h"

namespace modetest {

void ModeTest::SetUp() {
    devRoot = dir.file("dev");
    sysRoot = dir.file("sys");
    mkdir(devRoot.c_str(), 0755);
    mkdir(sysRoot.c_str(), 0755);
    devEnv = std::make_unique<testsupport::ScopedEnv>("MODEMFLASH_DEV_ROOT", devRoot);
    sysEnv = std::make_unique<testsupport::ScopedEnv>("MODEMFLASH_SYSFS_ROOT", sysRoot);
    clk_SetScale(kScale);
    previousBackend_ = reg_SetBackend(nullptr);
    g_lastFoundComNumber = 0;
    PortContext* c = ctx_Get(kPort);
    c->modeInitDone[0] = c->modeInitDone[1] = 0;
    ctx_ForgetJobRecord(kPort);  // what an earlier test's modem did is no part of this one
    // Drop whatever earlier tests left in this thread's queue.
    uint32_t id;
    intptr_t w, l;
    while (msg_Peek(&id, &w, &l, 1)) {
    }
    log_SetHook(&ModeTest::hook, this);
    report_SetPortObserver(kPort, &waitWatch_);
}

void ModeTest::TearDown() {
    com_Close(kPort);
    sim.stop();
    log_SetHook(nullptr, nullptr);
    report_SetPortObserver(kPort, nullptr);
    reg_SetBackend(previousBackend_);
    clk_SetScale(1);
}

modemsim::SimOptions ModeTest::options() const {
    modemsim::SimOptions o;
    o.devRoot = devRoot;
    o.sysfsRoot = sysRoot;
    o.republishDelayMs = 3000;  // 30 ms at the test's scale, well inside the 20 s pause
    return o;
}

void ModeTest::startModem(modemsim::SimOptions o) {
    std::string error;
    ASSERT_TRUE(sim.start(o, &error)) << error;
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    ctx_LogLevel(kPort, 2);
}

void ModeTest::hook(void* self, int, int isError, const char* text) {
    ModeTest* t = static_cast<ModeTest*>(self);
    std::lock_guard<std::mutex> guard(t->mu_);
    // The wait notices' own lines are checked through waits(); the log is the rest.
    if (!isError && text == t->lastWaitLine_) return;
    t->log_.push_back(LogEntry{isError ? 'E' : 'I', text});
}

void ModeTest::WaitWatch::OnWait(int port, const WaitNotice& notice) {
    std::lock_guard<std::mutex> guard(test->mu_);
    if (port != kPort) return;
    test->waits_.push_back(notice);
    char line[192];
    test->lastWaitLine_ = std::string(wait_Describe(&notice, line, sizeof line)) + "\n";
}

std::vector<WaitNotice> ModeTest::waits() {
    std::lock_guard<std::mutex> guard(mu_);
    return waits_;
}

std::vector<LogEntry> ModeTest::log() {
    std::lock_guard<std::mutex> guard(mu_);
    return log_;
}

std::vector<LogEntry> ModeTest::errors() {
    std::vector<LogEntry> out;
    for (const LogEntry& e : log())
        if (e.kind == 'E') out.push_back(e);
    return out;
}

std::vector<std::string> ModeTest::statusTexts() {
    std::vector<std::string> texts;
    uint32_t id;
    intptr_t w, l;
    while (msg_Peek(&id, &w, &l, 1)) {
        if (id == MSG_DL_STATUS && w == kPort) texts.push_back(reinterpret_cast<const char*>(l));
    }
    return texts;
}

void ModeTest::mark() {
    mark_ = clk_NowMs();
}
int64_t ModeTest::elapsedMs() const {
    return clk_NowMs() - mark_;
}

ScriptedModem::ScriptedModem(const std::string& devRoot,
                             std::function<std::string(const std::string&)> reply)
    : peer_(devRoot, "ttyACM0"), reply_(std::move(reply)) {
    thread_ = std::thread([this] {
        std::string pending;
        while (!stop_) {
            pollfd p = {peer_.masterFd(), POLLIN, 0};
            if (poll(&p, 1, 5) <= 0) continue;
            if (!(p.revents & POLLIN)) {
                usleep(2000);  // hung up: nobody holds the slave right now
                continue;
            }
            char buf[512];
            ssize_t n = read(peer_.masterFd(), buf, sizeof buf);
            if (n <= 0) {
                usleep(2000);  // nobody holds the slave right now
                continue;
            }
            pending.append(buf, static_cast<size_t>(n));
            size_t eol;
            while ((eol = pending.find("\r\n")) != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                {
                    std::lock_guard<std::mutex> guard(mu_);
                    lines_.push_back(line);
                }
                std::string answer = reply_(line);
                if (!answer.empty()) peer_.send(answer);
            }
        }
    });
}

ScriptedModem::~ScriptedModem() {
    stop_ = true;
    thread_.join();
}

std::vector<std::string> ScriptedModem::lines() {
    std::lock_guard<std::mutex> guard(mu_);
    return lines_;
}

}  // namespace modetest
