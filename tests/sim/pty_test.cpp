// The simulated modem on a real pty, driven from the host side with plain open/read/write.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "platform/serial.h"
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
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                return false;  // the device is gone
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

// With a line rate the modem takes no more than that: 200,000 bytes at 10,000 bytes per second
// keep the host writing for most of 20 s (less what the pty holds before the modem reads).
TEST_F(SimPty, ALineRateHoldsTheHostsWritesBack) {
    opt.lineRate = 10000;
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    HostPort host(devPath("ttyACM0"));
    ASSERT_TRUE(host.isOpen());
    ASSERT_TRUE(host.send("ATE0\r"));  // nothing comes back that the host does not read
    ASSERT_NE(host.readUntil("OK\r\n").find("OK\r\n"), std::string::npos);
    std::string blankLines(200000, '\r');
    int64_t start = clk_NowMs();
    ASSERT_TRUE(host.send(blankLines));
    EXPECT_GE(clk_NowMs() - start, 10000);
}

TEST_F(SimPty, ComesBackUnderTheSameNameAfterAModeSwitch) {
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
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

TEST_F(SimPty, LetsTheHostReadTheOkBeforeItDropsThePort) {
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    HostPort host(devPath("ttyACM0"));
    ASSERT_TRUE(host.send("ATE0\r\nAT%MODE=1\r\n"));
    usleep(150 * 1000);  // a slow host: the answer must still be there
    EXPECT_NE(host.readUntil("\r\nOK\r\n\r\nOK\r\n").find("\r\nOK\r\n\r\nOK\r\n"),
              std::string::npos);
    host.close();
    EXPECT_TRUE(sim.waitPublished(2, 5000));
}

TEST_F(SimPty, SurvivesTheHostClosingAndReopeningThePort) {
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    for (int i = 0; i < 3; ++i) {
        HostPort host(devPath("ttyACM0"));
        ASSERT_TRUE(host.send("AT\r"));
        EXPECT_NE(host.readUntil("OK\r").find("OK\r"), std::string::npos) << "pass " << i;
    }
    EXPECT_EQ(sim.publishCount(), 1);
}

TEST_F(SimPty, ForgetsAFrameTheHostLeftHalfSent) {
    opt.initialMode = 1;
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    {
        HostPort host(devPath("ttyACM0"));
        ASSERT_TRUE(host.send("ATE0\r\nAT%LOAD\r\n"));
        host.readUntil("\r\nOK\r\n\r\nOK\r\n");
        Bytes frame =
            simtest::headerFrame(simtest::makeArchive(3, simtest::pattern(10)), 24, 16384);
        ASSERT_TRUE(host.send(frame.data(), 10));
    }
    // A close is seen while it lasts longer than the modem's 10 ms poll.
    usleep(50 * 1000);
    HostPort again(devPath("ttyACM0"));
    ASSERT_TRUE(again.send("AT\r\n"));
    EXPECT_NE(again.readUntil("\r\nOK\r\n").find("\r\nOK\r\n"), std::string::npos);
    std::vector<std::string> dev = sim.deviations();
    ASSERT_FALSE(dev.empty());
    EXPECT_EQ(dev.back(), "host closed the port mid-frame");
}

// A whole update through the project's own serial service: switch to loader mode, find the
// port again, send an archive in 16 KiB frames, program it, and compare the flash store.
TEST_F(SimPty, TakesAnArchiveThroughTheSerialServiceAndProgramsIt) {
    testsupport::ScopedEnv env("MODEMFLASH_DEV_ROOT", opt.devRoot);
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    Bytes payload = simtest::pattern(40000, 3);
    Bytes file = simtest::makeArchive(0, payload);

    SerialTimeouts t = {0, 0, 10, 0, 200};
    auto exchange = [&](SerialHandle h, const std::string& cmd) {
        EXPECT_EQ(serial_Write(h, cmd.data(), cmd.size()), (int)cmd.size());
        std::string got;
        int64_t deadline = clk_RealNowUs() + 2000000;
        while (got.find("\r\nOK\r\n") == std::string::npos &&
               got.find("\r\nERROR\r\n") == std::string::npos && clk_RealNowUs() < deadline) {
            char b[512];
            int n = serial_Read(h, b, sizeof b);
            if (n > 0) got.append(b, (size_t)n);
        }
        return got;
    };
    auto status = [&](SerialHandle h) {
        std::string got;
        int64_t deadline = clk_RealNowUs() + 2000000;
        while (got.size() < 2 && clk_RealNowUs() < deadline) {
            char b[2];
            int n = serial_Read(h, b, 2 - got.size());
            if (n > 0) got.append(b, (size_t)n);
        }
        return got;
    };

    SerialHandle h = serial_Open("COM65", SERIAL_OPEN_SYNC);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(serial_SetTimeouts(h, &t), 1);
    EXPECT_NE(exchange(h, "AT%MODE=1\r\n").find("\r\nOK\r\n"), std::string::npos);
    serial_Close(h);
    ASSERT_TRUE(sim.waitPublished(2, 5000));

    h = serial_Open("COM65", SERIAL_OPEN_SYNC);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(serial_SetTimeouts(h, &t), 1);
    exchange(h, "ATE0\r\n");
    EXPECT_EQ(exchange(h, "AT%LOAD\r\n"), "\r\nOK\r\n");
    Bytes header = simtest::headerFrame(file, 24, 16384);
    ASSERT_EQ(serial_Write(h, header.data(), header.size()), (int)header.size());
    EXPECT_EQ(status(h), simtest::kAccepted);
    for (const Bytes& f : simtest::dataFrames(payload.data(), payload.size(), 16384)) {
        ASSERT_EQ(serial_Write(h, f.data(), f.size()), (int)f.size());
        EXPECT_EQ(status(h), simtest::kAccepted);
    }
    EXPECT_EQ(exchange(h, "AT%PROG=2\r\n"), "\r\nOK\r\n");
    serial_Close(h);
    EXPECT_EQ(sim.flash(0), payload);
    std::vector<modemsim::ArchiveSummary> a = sim.archives();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(a[0].programmed);
    EXPECT_EQ(a[0].size, payload.size());
}

TEST_F(SimPty, VanishingRemovesTheNamesAndClosesThePty) {
    opt.initialMode = 1;
    opt.scenario = "vanish archive=1 block=1\n";
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    std::string pts = sim.devicePath();
    HostPort host(devPath("ttyACM0"));
    ASSERT_TRUE(host.send("ATE0\r\nAT%LOAD\r\n"));
    host.readUntil("\r\nOK\r\n\r\nOK\r\n");
    Bytes payload = simtest::pattern(100);
    Bytes file = simtest::makeArchive(3, payload);
    Bytes header = simtest::headerFrame(file, 24, 64);
    ASSERT_TRUE(host.send(header.data(), header.size()));
    EXPECT_EQ(host.readUntil("", 2000, 2), simtest::kAccepted);
    Bytes block = simtest::dataFrame(payload.data(), 64);
    ASSERT_TRUE(host.send(block.data(), block.size()));
    int64_t deadline = clk_RealNowUs() + 2000000;
    while (sim.published() && clk_RealNowUs() < deadline) usleep(1000);
    EXPECT_FALSE(sim.published());
    EXPECT_FALSE(exists(devPath("ttyACM0")));
    EXPECT_FALSE(exists(opt.sysfsRoot + "/class/tty/ttyACM0"));
    host.send("AT\r\n");  // to a device that is gone: fails, or nobody answers
    EXPECT_EQ(host.readUntil("OK", 100).find("OK"), std::string::npos);
    EXPECT_FALSE(sim.waitPublished(2, 200));
}

TEST_F(SimPty, StaysAwayAfterASwitchWhenToldNeverToReturn) {
    opt.scenario = "never-return\n";
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    {
        HostPort host(devPath("ttyACM0"));
        ASSERT_TRUE(host.send("AT%MODE=1\r\n"));
        host.readUntil("\r\nOK\r\n");
    }
    EXPECT_FALSE(sim.waitPublished(2, 300));
    EXPECT_FALSE(exists(devPath("ttyACM0")));
}

TEST_F(SimPty, WaitsTheScaledRepublishDelay) {
    clk_SetScale(10);
    opt.republishDelayMs = 3000;  // 300 ms of real time at scale 10
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    int64_t sent;
    {
        HostPort host(devPath("ttyACM0"));
        ASSERT_TRUE(host.send("AT%MODE=1\r\n"));
        host.readUntil("\r\nOK\r\n");
        sent = clk_RealNowUs();
    }
    ASSERT_TRUE(sim.waitPublished(2, 5000));
    int64_t tookMs = (clk_RealNowUs() - sent) / 1000;
    EXPECT_GE(tookMs, 290);
    EXPECT_LT(tookMs, 1500);
}

TEST_F(SimPty, RunsThePublishHookAfterTheNameExistsAndTheUnpublishHookAfterItIsGone) {
    std::vector<std::string> seen;
    std::string link = devPath("ttyACM0");
    opt.onPublish = [&](const modemsim::PublishEvent& e) {
        seen.push_back(std::string(e.publish ? "publish " : "unpublish ") + e.ttyName + " " +
                       std::to_string(e.comNumber) + (exists(link) ? " present" : " absent"));
        EXPECT_EQ(e.devicePath.compare(0, 9, "/dev/pts/"), 0);
    };
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    sim.stop();
    std::vector<std::string> want = {"publish ttyACM0 65 present", "unpublish ttyACM0 65 absent"};
    EXPECT_EQ(seen, want);
}

TEST_F(SimPty, StopRemovesThePortButKeepsTheUsbDevice) {
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    modemsim::UsbPortLayout l;
    l.sysfsRoot = opt.sysfsRoot;
    l.ttyName = "ttyACM0";
    ASSERT_TRUE(exists(modemsim::layout_TtyDir(l)));
    sim.stop();
    EXPECT_FALSE(exists(devPath("ttyACM0")));
    EXPECT_FALSE(exists(opt.sysfsRoot + "/class/tty/ttyACM0"));
    EXPECT_FALSE(exists(modemsim::layout_TtyDir(l)));
    EXPECT_TRUE(exists(modemsim::layout_InterfaceDir(l) + "/interface"));
}

TEST_F(SimPty, RefusesToStartWithABadScenario) {
    opt.scenario = "refuse\n";
    std::string err;
    EXPECT_FALSE(sim.start(opt, &err));
    EXPECT_NE(err.find("line 1"), std::string::npos) << err;
    EXPECT_FALSE(exists(devPath("ttyACM0")));
}

TEST_F(SimPty, RefusesToStartWhereItCannotPublish) {
    dir.write("file", "x");
    opt.sysfsRoot = dir.file("file") + "/sys";
    std::string err;
    EXPECT_FALSE(sim.start(opt, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(sim.running());
}

TEST_F(SimPty, WritesEveryByteToTheTranscript) {
    opt.transcriptPath = dir.file("transcript.txt");
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    {
        HostPort host(devPath("ttyACM0"));
        ASSERT_TRUE(host.send("AT\r"));
        host.readUntil("OK\r");
    }
    sim.stop();
    std::string t = testsupport::readFile(opt.transcriptPath);
    EXPECT_NE(t.find("IN    41 54 0D  |AT.|"), std::string::npos) << t;
    EXPECT_NE(t.find("OUT   0D 0A 4F 4B 0D 0A  |..OK..|"), std::string::npos) << t;
}

TEST_F(SimPty, AnswersInPiecesTheHostReadsApartEvenWhenTimeIsScaled) {
    opt.scenario = "pieces AT size=3 gap=40\n";
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    HostPort host(devPath("ttyACM0"));
    ASSERT_TRUE(host.send("ATE0\r\n"));
    host.readUntil("\r\nOK\r\n");
    ASSERT_TRUE(host.send("AT\r\n"));
    std::string first = host.readUntil("\r\nO", 2000);
    EXPECT_EQ(first, "\r\nO");  // the rest comes 40 ms later
    EXPECT_EQ(host.readUntil("K\r\n", 2000), "K\r\n");
}

TEST_F(SimPty, DropsThePortSoonAfterTheHostReadTheOkEvenIfItKeepsItOpen) {
    std::string err;
    ASSERT_TRUE(sim.start(opt, &err)) << err;
    HostPort host(devPath("ttyACM0"));
    ASSERT_TRUE(host.send("AT%MODE=1\r\n"));
    host.readUntil("\r\nOK\r\n");
    int64_t readAt = clk_RealNowUs();
    while (sim.published() && clk_RealNowUs() - readAt < 1500000) usleep(1000);
    EXPECT_FALSE(sim.published());
    EXPECT_LT(clk_RealNowUs() - readAt, 1000000);  // not the 2 s bound
    EXPECT_TRUE(sim.waitPublished(2, 5000));
}

}  // namespace
