// The simulated modem on a real pty, driven from the host side with plain open/read/write.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "sim_test_util.h"
#include "support/test_support.h"

namespace {

using simtest::Bytes;

// The host's end of the port: a file descriptor on <devRoot>/<tty>.
class HostPort {
  public:
    explicit HostPort(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~HostPort() { close(); }
    bool isOpen() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool send(const std::string& s) { return send(s.data(), s.size()); }
    bool send(const void* p, size_t n) {
        const char* c = static_cast<const char*>(p);
        size_t done = 0;
        int64_t deadline = clk_RealNowUs() + 2000000;
        while (done < n && clk_RealNowUs() < deadline) {
            ssize_t w = ::write(fd_, c + done, n - done);
            if (w > 0) {
                done += (size_t)w;
            } else {
                pollfd p2 = {fd_, POLLOUT, 0};
                poll(&p2, 1, 10);
            }
        }
        return done == n;
    }
    // Reads until the text holds marker (or count bytes when marker is empty) or timeoutMs.
    std::string readUntil(const std::string& marker, int timeoutMs = 2000, size_t count = 0) {
        std::string got;
        int64_t deadline = clk_RealNowUs() + (int64_t)timeoutMs * 1000;
        while (clk_RealNowUs() < deadline) {
            if (!marker.empty() && got.find(marker) != std::string::npos) break;
            if (marker.empty() && got.size() >= count) break;
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                char b[4096];
                ssize_t n = ::read(fd_, b, sizeof b);
                if (n > 0) got.append(b, (size_t)n);
            }
        }
        return got;
    }

  private:
    int fd_ = -1;
};

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class SimPty : public ::testing::Test {
  protected:
    void SetUp() override {
        clk_SetScale(100);
        opt.devRoot = dir.file("dev");
        opt.sysfsRoot = dir.file("sys");
        opt.republishDelayMs = 3000;  // 30 ms at scale 100
    }
    void TearDown() override {
        sim.stop();
        clk_SetScale(1);
    }
    std::string devPath(const std::string& tty) { return opt.devRoot + "/" + tty; }

    testsupport::TempDir dir;
    modemsim::SimOptions opt;
    modemsim::ModemSim sim;
};

TEST_F(SimPty, AnswersTheProbeWhereItPublishedItself) {
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    EXPECT_EQ(sim.ttyName(), "ttyACM0");
    EXPECT_EQ(sim.comNumber(), 65);
    HostPort host(devPath("ttyACM0"));
    ASSERT_TRUE(host.isOpen());
    ASSERT_TRUE(host.send("AT\r"));
    EXPECT_NE(host.readUntil("OK\r").find("OK\r"), std::string::npos);
}

TEST_F(SimPty, ComesBackUnderTheSameNameAfterAModeSwitch) {
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    std::string firstDevice = sim.devicePath();
    {
        HostPort host(devPath("ttyACM0"));
        ASSERT_TRUE(host.send("AT%MODE=1\r\n"));
        EXPECT_NE(host.readUntil("\r\nOK\r\n").find("\r\nOK\r\n"), std::string::npos);
    }
    ASSERT_TRUE(sim.waitPublished(2, 5000));
    EXPECT_EQ(sim.ttyName(), "ttyACM0");
    EXPECT_EQ(sim.mode(), 1);
    HostPort again(devPath("ttyACM0"));
    ASSERT_TRUE(again.isOpen());
    ASSERT_TRUE(again.send("AT%MODE?\r\n"));
    EXPECT_NE(again.readUntil("OK\r\n").find("%MODE: 1"), std::string::npos);
    (void)firstDevice;
}

TEST_F(SimPty, ComesBackUnderTheNextNumberWhenRenumbering) {
    opt.renumberOnSwitch = true;
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    {
        HostPort host(devPath("ttyACM0"));
        ASSERT_TRUE(host.send("AT\r"));
        host.readUntil("OK\r");
        ASSERT_TRUE(host.send("AT%MODE=1\r\n"));
        host.readUntil("\r\nOK\r\n");
    }
    ASSERT_TRUE(sim.waitPublished(2, 5000));
    EXPECT_EQ(sim.ttyName(), "ttyACM1");
    EXPECT_EQ(sim.comNumber(), 66);
    EXPECT_FALSE(exists(devPath("ttyACM0")));
    EXPECT_FALSE(exists(opt.sysfsRoot + "/class/tty/ttyACM0"));
    EXPECT_TRUE(exists(opt.sysfsRoot + "/class/tty/ttyACM1"));
    HostPort again(devPath("ttyACM1"));
    ASSERT_TRUE(again.send("AT\r"));
    EXPECT_NE(again.readUntil("OK\r").find("OK\r"), std::string::npos);
}

}  // namespace
