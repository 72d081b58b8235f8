// The pty front end of the simulated modem and its thread.
#include "modem_sim.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/clock.h"

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

// "ttyACM" of "ttyACM3".
std::string ttyPrefix(const std::string& tty) {
    size_t i = tty.size();
    while (i > 0 && tty[i - 1] >= '0' && tty[i - 1] <= '9') --i;
    return tty.substr(0, i);
}

}  // namespace

int TtyPool::acquire() {
    std::lock_guard<std::mutex> g(mu_);
    int k = 0;
    while (held_.count(k)) ++k;
    held_.insert(k);
    return k;
}

void TtyPool::release(int number) {
    std::lock_guard<std::mutex> g(mu_);
    held_.erase(number);
}

struct ModemSim::Impl : public CoreOutput {
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    SimOptions opt;
    std::unique_ptr<Core> core;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool running = false;
    bool startDone = false;
    std::string startError;

    UsbPortLayout layout;
    int master = -1;
    std::string devPath;
    bool published = false;
    int publishCount = 0;
    bool hostOpen = false;
    double lineFreeAtMs = 0;  // scaled time at which the line is free again (line rate)
    FILE* transcript = nullptr;
    int64_t startUs = 0;

    // ---- transcript ----
    void record(const char* dir, const uint8_t* p, size_t n) {
        if (transcript == nullptr) return;
        double t = (double)(clk_RealNowUs() - startUs) / 1e6;
        fprintf(transcript, "%10.6f %-5s", t, dir);
        for (size_t i = 0; i < n; ++i) fprintf(transcript, " %02X", p[i]);
        fputs("  |", transcript);
        for (size_t i = 0; i < n; ++i) fputc(p[i] >= 0x20 && p[i] < 0x7F ? p[i] : '.', transcript);
        fputs("|\n", transcript);
        fflush(transcript);
    }
    void note(const std::string& text) {
        if (transcript == nullptr) return;
        double t = (double)(clk_RealNowUs() - startUs) / 1e6;
        fprintf(transcript, "%10.6f EVENT %s\n", t, text.c_str());
        fflush(transcript);
    }

    // ---- CoreOutput (called with mu held) ----
    void write(const uint8_t* data, size_t count) override {
        record("OUT", data, count);
        if (master < 0) return;
        size_t done = 0;
        int64_t deadline = realMs() + WRITE_WAIT_MS;
        while (done < count) {
            ssize_t w = ::write(master, data + done, count - done);
            if (w > 0) {
                done += (size_t)w;
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno != EAGAIN) break;  // host gone: the bytes are lost, as on a line
            if (realMs() >= deadline || stopping) break;
            pollfd p = {master, POLLOUT, 0};
            poll(&p, 1, 10);
        }
        if (done < count) note("answer bytes dropped: " + std::to_string(count - done));
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
        int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            *error = std::string("posix_openpt: ") + strerror(errno);
            return false;
        }
        char name[128];
        termios t;
        if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0 ||
            tcgetattr(fd, &t) != 0) {
            *error = std::string("pty setup: ") + strerror(errno);
            ::close(fd);
            return false;
        }
        // Raw from the master side, so that the slave neither echoes nor rewrites CR.
        cfmakeraw(&t);
        if (tcsetattr(fd, TCSANOW, &t) != 0) {
            *error = std::string("tcsetattr: ") + strerror(errno);
            ::close(fd);
            return false;
        }
        if (!layout_Publish(layout, name, error)) {
            layout_Unpublish(layout);
            ::close(fd);
            return false;
        }
        master = fd;
        devPath = name;
        hostOpen = false;
        note("publish " + layout.ttyName + " -> " + devPath);
        if (opt.onPublish) {
            PublishEvent e;
            e.publish = true;
            e.ttyName = layout.ttyName;
            e.comNumber = comOf(layout.ttyName);
            e.devicePath = devPath;
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
            note("unpublish " + layout.ttyName);
            if (opt.onPublish) {
                PublishEvent e;
                e.publish = false;
                e.ttyName = layout.ttyName;
                e.comNumber = comOf(layout.ttyName);
                e.devicePath = devPath;
                runHook(e);
            }
            // Only now may another modem take the number: its publication must come after
            // everything this one's removal does, the hook included.
            if (opt.ttyPool) opt.ttyPool->release(layout_TtyNumber(layout.ttyName));
            cv.notify_all();
        }
        if (master >= 0) {
            ::close(master);
            master = -1;
        }
    }

    // The hook runs without the lock, so that it may query the modem; only this thread
    // changes the state it could see.
    void runHook(const PublishEvent& e) {
        mu.unlock();
        opt.onPublish(e);
        mu.lock();
    }

    static int comOf(const std::string& tty) {
        int k = layout_TtyNumber(tty);
        if (tty.compare(0, 6, "ttyACM") == 0 && k >= 0) return 65 + k;
        if (tty.compare(0, 6, "ttyUSB") == 0 && k >= 0) return 33 + k;
        if (tty.compare(0, 4, "ttyS") == 0 && k >= 0) return 1 + k;
        return 0;
    }

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
        pollfd p = {master, POLLIN, 0};
        mu.unlock();
        int r = poll(&p, 1, 10);
        mu.lock();
        if (master < 0) return;
        if (r > 0 && (p.revents & POLLIN)) {
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                hostOpen = true;
                record("IN", buf, (size_t)n);
                core->feed(buf, (size_t)n, realMs(), *this);
                paceLine((size_t)n);
                return;
            }
        }
        if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
            if (hostOpen) {
                hostOpen = false;
                note("host closed the port");
                core->hostClosed();
            }
            // Nobody holds the slave: poll would return at once, so wait a little.
            mu.unlock();
            usleep(2000);
            mu.lock();
            return;
        }
        if (r == 0) hostOpen = true;
        core->tick(realMs(), *this);
    }

    // True while the host has not read everything sent to it (or when that cannot be told).
    // The count is only visible on the slave side, so the slave is opened for a moment.
    bool hostHasUnread() const {
        int fd = ::open(devPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return true;
        int n = 0;
        bool unread = ioctl(fd, FIONREAD, &n) != 0 || n > 0;
        ::close(fd);
        return unread;
    }

    void doDrop(const DropRequest& d) {
        if (d.isModeSwitch) {
            // Let the host read the OK: wait for it to close its side, or until it has read
            // everything and a short grace has passed, at most a bounded time.
            int64_t deadline = realMs() + DROP_WAIT_MS;
            int64_t readAt = -1;
            while (master >= 0 && !stopping && realMs() < deadline) {
                // The pty hands written bytes to the slave a little later, so an empty slave
                // queue counts only once it has stayed empty for the whole grace.
                if (hostHasUnread())
                    readAt = -1;
                else if (readAt < 0)
                    readAt = realMs();
                if (readAt >= 0 && realMs() - readAt >= DROP_GRACE_MS) break;
                pollfd p = {master, POLLIN, 0};
                mu.unlock();
                int r = poll(&p, 1, 10);
                mu.lock();
                if (r > 0 && (p.revents & POLLIN)) {
                    uint8_t buf[512];
                    ssize_t n = ::read(master, buf, sizeof buf);
                    if (n > 0) record("IN", buf, (size_t)n);  // to a modem that is going away
                    continue;
                }
                if (r > 0 && (p.revents & (POLLHUP | POLLERR))) break;
            }
        }
        note(d.isModeSwitch ? "drop for mode " + std::to_string(d.newMode) : "vanish");
        unpublish();
        hostOpen = false;
        if (!d.comeBack) {
            note("not coming back");
            return;
        }
        uint32_t delay = (d.useRepublishDelay ? opt.republishDelayMs : 0) + d.extraDelayMs;
        mu.unlock();
        pauseUnlocked(delay);
        mu.lock();
        if (stopping) return;
        if (opt.ttyPool) {
            layout.ttyName = ttyPrefix(layout.ttyName) + std::to_string(opt.ttyPool->acquire());
        } else if (d.renumber || (d.isModeSwitch && opt.renumberOnSwitch)) {
            int k = layout_TtyNumber(layout.ttyName);
            std::string prefix =
                layout.ttyName.substr(0, layout.ttyName.size() - std::to_string(k).size());
            layout.ttyName = prefix + std::to_string(k + 1);
        }
        core->rebooted();
        std::string error;
        if (!publish(&error)) {
            note("republish failed: " + error);
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
            if (master < 0) {
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
    FILE* transcript = nullptr;
    if (err.empty() && !options.transcriptPath.empty()) {
        transcript = fopen(options.transcriptPath.c_str(), "w");
        if (transcript == nullptr) {
            err = "cannot write " + options.transcriptPath + ": " + strerror(errno);
        }
    }
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
                ttyPrefix(options.ttyName) + std::to_string(options.ttyPool->acquire());
        CoreConfig cc;
        cc.initialMode = options.initialMode;
        cc.initialAutorun = options.initialAutorun;
        m.core.reset(new Core(cc, scenario));
        m.transcript = transcript;
        m.startUs = clk_RealNowUs();
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
    if (m.transcript != nullptr) {
        fclose(m.transcript);
        m.transcript = nullptr;
    }
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
    return impl_->published ? impl_->devPath : std::string();
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

std::string ModemSim::serialNumber() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->layout.serial;
}

}  // namespace modemsim
