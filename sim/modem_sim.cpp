// The pty front end of the simulated modem and its thread.
#include "modem_sim.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/portname.h"
#include "pty_link.h"
#include "replay_core.h"
#include "transcript.h"

namespace modemsim {

namespace {

// How long, at most, a modem that has answered a mode command waits for the host to read
// the answer and close the port before it drops the port anyway (real milliseconds), and how
// long it still waits for the close once the host has read everything.
const int64_t DROP_WAIT_MS = 2000;
const int64_t DROP_GRACE_MS = 100;
// Longest a single write of answer bytes may wait for the host to make room (real ms).
const int64_t WRITE_WAIT_MS = 2000;

int64_t realMs() {
    return clk_RealNowUs() / 1000;
}

}  // namespace

struct ModemSim::Impl : public CoreOutput {
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    SimOptions opt;
    std::unique_ptr<ModemCore> core;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool running = false;
    bool startDone = false;
    std::string startError;

    UsbPortLayout layout;
    PtyLink link;
    bool published = false;
    int publishCount = 0;
    bool hostOpen = false;
    double lineFreeAtMs = 0;  // scaled time at which the line is free again (line rate)
    Transcript transcript;

    // ---- CoreOutput (called with mu held) ----
    void write(const uint8_t* data, size_t count) override {
        transcript.bytes("OUT", data, count);
        if (!link.isOpen()) return;
        size_t done = link.write(data, count, WRITE_WAIT_MS, stopping);
        if (done < count) transcript.note("answer bytes dropped: " + std::to_string(count - done));
    }

    // Sleeps ms of scaled time in short steps so that stop() is not held up; mu is released
    // meanwhile so that queries go on.
    // Each step lasts about 5 ms of real time whatever the scale: much shorter steps would
    // make the pause longer than asked (every sleep costs its own overhead).
    void pauseUnlocked(uint32_t ms) {
        double scaledStep = 5.0 * clk_Scale();
        uint32_t maxStep = scaledStep < 1 ? 1 : scaledStep > 60000 ? 60000 : (uint32_t)scaledStep;
        while (ms > 0 && !stopping) {
            uint32_t step = ms < maxStep ? ms : maxStep;
            clk_SleepMs(step);
            ms -= step;
        }
    }
    void pauseReal(uint32_t ms) override {
        mu.unlock();
        int64_t end = realMs() + ms;
        while (!stopping && realMs() < end) usleep(1000);
        mu.lock();
    }
    void pause(uint32_t ms) override {
        mu.unlock();
        pauseUnlocked(ms);
        mu.lock();
    }

    // ---- publication (mu held) ----
    bool publish(std::string* error) {
        if (!link.open(error)) return false;
        if (!layout_Publish(layout, link.slavePath().c_str(), error)) {
            layout_Unpublish(layout);
            link.close();
            return false;
        }
        hostOpen = false;
        transcript.note("publish " + layout.ttyName + " -> " + link.slavePath());
        if (opt.onPublish) {
            PublishEvent e;
            e.publish = true;
            e.ttyName = layout.ttyName;
            e.comNumber = comOf(layout.ttyName);
            e.devicePath = link.slavePath();
            runHook(e);
        }
        published = true;
        ++publishCount;
        cv.notify_all();
        return true;
    }

    // Names first, then the pty: a stale name must never point at a reused pts number.
    void unpublish() {
        if (published) {
            layout_Unpublish(layout);
            published = false;
            transcript.note("unpublish " + layout.ttyName);
            if (opt.onPublish) {
                PublishEvent e;
                e.publish = false;
                e.ttyName = layout.ttyName;
                e.comNumber = comOf(layout.ttyName);
                e.devicePath = link.slavePath();
                runHook(e);
            }
            // Only now may another modem take the number: its publication must come after
            // everything this one's removal does, the hook included.
            if (opt.ttyPool) opt.ttyPool->release(layout_TtyNumber(layout.ttyName));
            cv.notify_all();
        }
        link.close();
    }

    // The hook runs without the lock, so that it may query the modem; only this thread
    // changes the state it could see.
    void runHook(const PublishEvent& e) {
        mu.unlock();
        opt.onPublish(e);
        mu.lock();
    }

    // The library's own mapping: the host finds the port under this number.
    static int comOf(const std::string& tty) { return portname_ComNumberOfTty(tty.c_str()); }

    // With a line rate, the modem reads nothing more until the bytes just read would have
    // crossed the line. The time owed is kept across reads, so short sleeps do not add up.
    void paceLine(size_t bytes) {
        if (opt.lineRate == 0) return;
        double now = (double)clk_NowMs();
        if (lineFreeAtMs < now) lineFreeAtMs = now;
        lineFreeAtMs += (double)bytes * 1000.0 / opt.lineRate;
        double owed = lineFreeAtMs - now;
        if (owed < 1) return;
        mu.unlock();
        pauseUnlocked((uint32_t)owed);
        mu.lock();
    }

    // ---- the thread ----
    void readInput() {
        uint8_t buf[4096];
        mu.unlock();
        int r = link.waitInput(10);
        mu.lock();
        if (!link.isOpen()) return;
        if (r > 0 && (r & POLLIN)) {
            ssize_t n = link.read(buf, sizeof buf);
            if (n > 0) {
                if (!hostOpen) core->hostOpened();
                hostOpen = true;
                transcript.bytes("IN", buf, (size_t)n);
                core->feed(buf, (size_t)n, realMs(), *this);
                paceLine((size_t)n);
                return;
            }
        }
        if (r > 0 && (r & (POLLHUP | POLLERR))) {
            if (hostOpen) {
                hostOpen = false;
                transcript.note("host closed the port");
                core->hostClosed();
            }
            // Nobody holds the slave: poll would return at once, so wait a little.
            mu.unlock();
            usleep(2000);
            mu.lock();
            return;
        }
        if (r == 0 && !hostOpen) {
            hostOpen = true;
            core->hostOpened();
        }
        core->tick(realMs(), *this);
    }

    void doDrop(const DropRequest& d) {
        if (d.isModeSwitch) {
            // Let the host read the OK: wait for it to close its side, or until it has read
            // everything and a short grace has passed, at most a bounded time.
            int64_t deadline = realMs() + DROP_WAIT_MS;
            int64_t readAt = -1;
            while (link.isOpen() && !stopping && realMs() < deadline) {
                // The pty hands written bytes to the slave a little later, so an empty slave
                // queue counts only once it has stayed empty for the whole grace.
                if (link.hostHasUnread())
                    readAt = -1;
                else if (readAt < 0)
                    readAt = realMs();
                if (readAt >= 0 && realMs() - readAt >= DROP_GRACE_MS) break;
                mu.unlock();
                int r = link.waitInput(10);
                mu.lock();
                if (r > 0 && (r & POLLIN)) {
                    uint8_t buf[512];
                    ssize_t n = link.read(buf, sizeof buf);
                    // to a modem that is going away
                    if (n > 0) transcript.bytes("IN", buf, (size_t)n);
                    continue;
                }
                if (r > 0 && (r & (POLLHUP | POLLERR))) break;
            }
        }
        transcript.note(d.isModeSwitch ? "drop for mode " + std::to_string(d.newMode) : "vanish");
        unpublish();
        hostOpen = false;
        if (!d.comeBack) {
            transcript.note("not coming back");
            return;
        }
        uint32_t delay = (d.useRepublishDelay ? opt.republishDelayMs : 0) + d.extraDelayMs;
        mu.unlock();
        pauseUnlocked(delay);
        mu.lock();
        if (stopping) return;
        if (!d.comeBackAs.empty()) {
            layout.ttyName = d.comeBackAs;
        } else if (opt.ttyPool) {
            layout.ttyName = tty_Prefix(layout.ttyName) + std::to_string(opt.ttyPool->acquire());
        } else if (d.renumber || (d.isModeSwitch && opt.renumberOnSwitch)) {
            int k = layout_TtyNumber(layout.ttyName);
            std::string prefix =
                layout.ttyName.substr(0, layout.ttyName.size() - std::to_string(k).size());
            layout.ttyName = prefix + std::to_string(k + 1);
        }
        core->rebooted();
        std::string error;
        if (!publish(&error)) {
            transcript.note("republish failed: " + error);
            if (opt.ttyPool) opt.ttyPool->release(layout_TtyNumber(layout.ttyName));
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(mu);
        std::string error;
        bool ok = publish(&error);
        if (!ok && opt.ttyPool) opt.ttyPool->release(layout_TtyNumber(layout.ttyName));
        startDone = true;
        startError = error;
        cv.notify_all();
        if (!ok) return;
        while (!stopping) {
            if (!link.isOpen()) {
                lock.unlock();
                usleep(5000);
                lock.lock();
                continue;
            }
            readInput();
            DropRequest d;
            if (core->takeDrop(&d)) doDrop(d);
        }
    }
};

ModemSim::ModemSim() : impl_(new Impl) {}

ModemSim::~ModemSim() {
    stop();
}

bool ModemSim::start(const SimOptions& options, std::string* error) {
    stop();
    Impl& m = *impl_;
    std::string err;
    Scenario scenario;
    if (options.devRoot.empty() || options.sysfsRoot.empty()) {
        err = "devRoot and sysfsRoot are required";
    } else if (!scenario_Parse(options.scenario, &scenario, &err)) {
        // err set
    } else if (layout_TtyNumber(options.ttyName) < 0) {
        err = "tty name must end in a number [" + options.ttyName + "]";
    }
    ReplayScript script;
    if (err.empty() && !options.replayPath.empty()) {
        session::ReadOptions ro;
        ro.allowPartial = options.replayPartial;
        session::Session recorded;
        session::SessionProblem problem;
        if (!session::readSession(options.replayPath, ro, &recorded, &problem))
            err = options.replayPath + ": " + problem.text();
        else if (!replay_BuildScript(recorded, &script, &err))
            err = options.replayPath + ": " + err;
    }
    // No thread runs now: the transcript is this one's to open.
    if (err.empty() && !options.transcriptPath.empty())
        m.transcript.open(options.transcriptPath, &err);
    if (!err.empty()) {
        if (error) *error = err;
        return false;
    }
    {
        std::lock_guard<std::mutex> g(m.mu);
        m.opt = options;
        m.layout = options.layout;
        m.layout.devRoot = options.devRoot;
        m.layout.sysfsRoot = options.sysfsRoot;
        m.layout.ttyName = options.ttyName;
        if (options.ttyPool)
            m.layout.ttyName =
                tty_Prefix(options.ttyName) + std::to_string(options.ttyPool->acquire());
        CoreConfig cc;
        cc.initialMode = options.initialMode;
        cc.initialAutorun = options.initialAutorun;
        if (options.replayPath.empty()) {
            m.core.reset(new Core(cc, scenario));
        } else {
            if (!script.location.empty()) m.layout.device = script.location;
            if (!script.serial.empty()) m.layout.serial = script.serial;
            m.layout.ttyName = script.ttyName;
            m.core.reset(new ReplayCore(script, options.replayStrict));
        }
        m.transcript.restartClock();
        m.stopping = false;
        m.startDone = false;
        m.published = false;
        m.publishCount = 0;
        m.running = true;
    }
    m.thread = std::thread([&m] { m.run(); });
    std::unique_lock<std::mutex> lock(m.mu);
    m.cv.wait(lock, [&m] { return m.startDone; });
    if (!m.startError.empty()) {
        err = m.startError;
        lock.unlock();
        stop();
        if (error) *error = err;
        return false;
    }
    return true;
}

void ModemSim::stop() {
    Impl& m = *impl_;
    if (!m.thread.joinable()) return;
    m.stopping = true;
    m.thread.join();
    std::lock_guard<std::mutex> g(m.mu);
    m.unpublish();
    m.transcript.close();
    m.running = false;
}

bool ModemSim::running() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->running;
}

std::string ModemSim::ttyName() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->layout.ttyName;
}

int ModemSim::comNumber() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return Impl::comOf(impl_->layout.ttyName);
}

bool ModemSim::published() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->published;
}

std::string ModemSim::devicePath() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->published ? impl_->link.slavePath() : std::string();
}

int ModemSim::publishCount() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->publishCount;
}

bool ModemSim::waitPublished(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this, count] {
        return impl_->publishCount >= count && impl_->published;
    });
}

int ModemSim::mode() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->core ? impl_->core->mode() : -1;
}

bool ModemSim::withholding() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->published && impl_->core && impl_->core->withholding();
}

int ModemSim::autorun() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->core ? impl_->core->autorun() : -1;
}

std::vector<std::string> ModemSim::commands() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->core ? impl_->core->commands() : std::vector<std::string>();
}

std::vector<ArchiveSummary> ModemSim::archives() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    std::vector<ArchiveSummary> out;
    if (!impl_->core) return out;
    for (const ArchiveRecord& a : impl_->core->archives()) {
        ArchiveSummary s;
        s.number = a.number;
        s.id = a.id;
        s.size = a.payload.size();
        s.sha256 = a.sha256;
        s.complete = a.complete;
        s.programmed = a.programmed;
        s.signatureChecked = a.signatureChecked;
        s.headerLength = a.headerLength;
        s.blocks = a.blocks;
        s.rejections = a.rejections;
        out.push_back(s);
    }
    return out;
}

std::vector<uint8_t> ModemSim::flash(uint32_t archiveId) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    if (!impl_->core) return {};
    auto it = impl_->core->flash().find(archiveId);
    return it == impl_->core->flash().end() ? std::vector<uint8_t>() : it->second;
}

bool ModemSim::hasFlash(uint32_t archiveId) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->core && impl_->core->flash().count(archiveId) > 0;
}

std::vector<std::string> ModemSim::deviations() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->core ? impl_->core->deviations() : std::vector<std::string>();
}

std::string ModemSim::reportJson() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    if (!impl_->core) return "{}\n";
    return impl_->core->reportJson(impl_->layout.ttyName, Impl::comOf(impl_->layout.ttyName));
}

std::string ModemSim::location() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->layout.device;
}

bool ModemSim::ended() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->core && impl_->core->ended();
}

std::string ModemSim::serialNumber() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->layout.serial;
}

}  // namespace modemsim
