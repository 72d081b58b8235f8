#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "locator/registry_locator.h"

// Jobs that tests run without a host find their modem's port as a host's jobs do.
const bool g_locatorInstalled = (locator_Install(), true);

namespace testsupport {

namespace {

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/mftest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

void TempDir::write(const std::string& name, const std::string& contents) const {
    std::ofstream out(file(name), std::ios::binary);
    out << contents;
}

CapturedStream::CapturedStream(int fd) : fd_(fd) {
    fflush(stdout);
    fflush(stderr);
    char tmpl[] = "/tmp/mfcapture.XXXXXX";
    int file = mkstemp(tmpl);
    if (file < 0) throw std::runtime_error("mkstemp failed");
    path_ = tmpl;
    saved_ = dup(fd_);
    dup2(file, fd_);
    close(file);
}

CapturedStream::~CapturedStream() {
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    unlink(path_.c_str());
}

std::string CapturedStream::text() {
    fflush(stdout);
    fflush(stderr);
    return readFile(path_);
}

std::string CapturedStream::written() {
    return readFile(path_);
}

PtyPeer::PtyPeer(const std::string& devRoot, const std::string& ttyName) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("cannot make a pty");
    termios t;
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    slave_ = ptsname(master_);
    link_ = devRoot + "/" + ttyName;
    unlink(link_.c_str());
    if (symlink(slave_.c_str(), link_.c_str()) != 0)
        throw std::runtime_error("cannot publish the pty");
}

PtyPeer::~PtyPeer() {
    vanish();
}

void PtyPeer::vanish() {
    if (!link_.empty()) unlink(link_.c_str());
    if (master_ >= 0) close(master_);
    master_ = -1;
}

void PtyPeer::send(const std::string& bytes) {
    send(bytes.data(), bytes.size());
}

void PtyPeer::send(const void* bytes, size_t count) {
    const char* p = static_cast<const char*>(bytes);
    // A host that stops reading must not hang the test: give up after a few seconds.
    int64_t deadline = nowMs() + 5000;
    while (count > 0 && nowMs() < deadline) {
        ssize_t n = write(master_, p, count);
        if (n > 0) {
            p += n;
            count -= static_cast<size_t>(n);
        } else {
            pollfd pf{master_, POLLOUT, 0};
            poll(&pf, 1, 100);
        }
    }
}

std::string PtyPeer::receive(int timeoutMs, int settleMs) {
    std::string out;
    int64_t deadline = nowMs() + timeoutMs;
    char buf[65536];
    for (;;) {
        int64_t left = (out.empty() ? deadline : nowMs() + settleMs) - nowMs();
        if (left < 0) left = 0;
        pollfd pf{master_, POLLIN, 0};
        if (poll(&pf, 1, static_cast<int>(left)) <= 0) break;
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string PtyPeer::receiveExactly(size_t count, int timeoutMs) {
    std::string out;
    int64_t deadline = nowMs() + timeoutMs;
    char buf[65536];
    while (out.size() < count) {
        int64_t left = deadline - nowMs();
        if (left <= 0) break;
        pollfd pf{master_, POLLIN, 0};
        if (poll(&pf, 1, static_cast<int>(left)) <= 0) break;
        size_t want = count - out.size();
        ssize_t n = read(master_, buf, want < sizeof buf ? want : sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string PtyPeer::receiveUntil(const std::string& marker, int timeoutMs) {
    std::string out;
    int64_t deadline = nowMs() + timeoutMs;
    char buf[4096];
    while (out.find(marker) == std::string::npos) {
        int64_t left = deadline - nowMs();
        if (left <= 0) break;
        pollfd pf{master_, POLLIN, 0};
        if (poll(&pf, 1, static_cast<int>(left)) <= 0) break;
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace testsupport
