// Throughput of the serial channel against a bare termios loop, both over a pty.
//
// A peer thread on the pty master reads one 16388-byte frame at a time and answers each with
// the two status bytes AA 01. The channel run sends the frames with com_Write and reads the
// answers with com_Read; the bare run does the same with write/poll/read on the slave fd.
// Prints both throughputs, their ratio (target >= 0.9) and the heap allocations made while
// the channel ran (target 0).
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "engine/port_context.h"
#include "platform/clock.h"

namespace {

std::atomic<long> g_allocations{0};

constexpr size_t kFrame = 16388;
constexpr int kFrames = 4000;  // about 62 MiB

void peerLoop(int master, int frames, std::atomic<bool>* stop) {
    static unsigned char buf[kFrame];  // no allocation while the runs are measured
    for (int f = 0; f < frames && !stop->load(); ++f) {
        size_t got = 0;
        while (got < kFrame) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) return;
            ssize_t n = read(master, buf + got, kFrame - got);
            if (n <= 0) return;
            got += static_cast<size_t>(n);
        }
        const unsigned char ok[2] = {0xAA, 0x01};
        if (write(master, ok, 2) != 2) return;
    }
}

int makePty(std::string* slave) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(m);
    unlockpt(m);
    termios t;
    tcgetattr(m, &t);
    cfmakeraw(&t);
    tcsetattr(m, TCSANOW, &t);
    *slave = ptsname(m);
    return m;
}

double channelRun(const std::string& dir, long* allocations) {
    std::string slave;
    int master = makePty(&slave);
    std::string link = dir + "/ttyACM0";
    unlink(link.c_str());
    if (symlink(slave.c_str(), link.c_str()) != 0) return 0;
    if (com_Open(0, "COM65") == nullptr) return 0;
    std::atomic<bool> stop{false};
    std::thread peer(peerLoop, master, kFrames, &stop);
    static unsigned char frame[kFrame];
    for (size_t i = 0; i < kFrame; ++i) frame[i] = static_cast<unsigned char>(i * 7);
    long before = g_allocations.load();
    int64_t start = clk_RealNowUs();
    for (int f = 0; f < kFrames; ++f) {
        int sent = 0;
        while (sent < static_cast<int>(kFrame)) {
            int n = com_Write(0, frame + sent, static_cast<int>(kFrame) - sent);
            if (n < 0) return 0;
            sent += n;
        }
        unsigned char status[2];
        int got = 0;
        while (got < 2) {
            int n = com_Read(0, status + got, 2 - got);
            if (n < 0) return 0;
            got += n;
        }
    }
    int64_t took = clk_RealNowUs() - start;
    *allocations = g_allocations.load() - before;
    stop = true;
    peer.join();
    com_Close(0);
    close(master);
    unlink(link.c_str());
    return (static_cast<double>(kFrame) * kFrames / (1024.0 * 1024.0)) / (took / 1e6);
}

double bareRun() {
    std::string slave;
    int master = makePty(&slave);
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    std::atomic<bool> stop{false};
    std::thread peer(peerLoop, master, kFrames, &stop);
    static unsigned char frame[kFrame];
    int64_t start = clk_RealNowUs();
    for (int f = 0; f < kFrames; ++f) {
        size_t sent = 0;
        while (sent < kFrame) {
            ssize_t n = write(fd, frame + sent, kFrame - sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 200);
        }
        unsigned char status[2];
        size_t got = 0;
        while (got < 2) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 10);
            ssize_t n = read(fd, status + got, 2 - got);
            if (n > 0) got += static_cast<size_t>(n);
        }
    }
    int64_t took = clk_RealNowUs() - start;
    stop = true;
    peer.join();
    close(fd);
    close(master);
    return (static_cast<double>(kFrame) * kFrames / (1024.0 * 1024.0)) / (took / 1e6);
}

}  // namespace

void* operator new(size_t n) {
    g_allocations.fetch_add(1);
    void* p = malloc(n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}

int main() {
    char tmpl[] = "/tmp/mfbench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    setenv("MODEMFLASH_DEV_ROOT", tmpl, 1);
    // Alternate the runs so that neither gets a warmer machine.
    double channel = 0, bare = 0;
    long allocations = 0;
    for (int round = 0; round < 3; ++round) {
        long a = 0;
        channel += channelRun(tmpl, &a);
        allocations += a;
        bare += bareRun();
    }
    channel /= 3;
    bare /= 3;
    printf("frames: %d x %zu bytes, each answered by 2 bytes\n", kFrames, kFrame);
    printf("channel (com_Write/com_Read): %.1f MiB/s\n", channel);
    printf("bare termios loop:            %.1f MiB/s\n", bare);
    printf("ratio: %.2f (target >= 0.90)\n", bare > 0 ? channel / bare : 0.0);
    printf("heap allocations during the channel runs: %ld (target 0)\n", allocations);
    rmdir(tmpl);
    return 0;
}
