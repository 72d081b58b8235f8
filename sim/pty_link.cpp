// The pseudo-terminal a simulated modem answers on.
#include "pty_link.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/clock.h"

namespace modemsim {

namespace {

int64_t realMs() {
    return clk_RealNowUs() / 1000;
}

}  // namespace

bool PtyLink::open(std::string* error) {
    close();
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
    cfmakeraw(&t);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = std::string("tcsetattr: ") + strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    slave_ = name;
    return true;
}

void PtyLink::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

size_t PtyLink::write(const uint8_t* data, size_t count, int64_t writeWaitMs,
                      const std::atomic<bool>& stop) {
    if (fd_ < 0) return 0;
    size_t done = 0;
    int64_t deadline = realMs() + writeWaitMs;
    while (done < count) {
        ssize_t w = ::write(fd_, data + done, count - done);
        if (w > 0) {
            done += (size_t)w;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) break;  // host gone: the bytes are lost, as on a line
        if (realMs() >= deadline || stop) break;
        pollfd p = {fd_, POLLOUT, 0};
        poll(&p, 1, 10);
    }
    return done;
}

int PtyLink::waitInput(int ms) {
    pollfd p = {fd_, POLLIN, 0};
    int r = poll(&p, 1, ms);
    return r > 0 ? p.revents : r;
}

ssize_t PtyLink::read(uint8_t* buffer, size_t capacity) {
    return ::read(fd_, buffer, capacity);
}

bool PtyLink::hostHasUnread() const {
    int fd = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;
    int n = 0;
    bool unread = ioctl(fd, FIONREAD, &n) != 0 || n > 0;
    ::close(fd);
    return unread;
}

}  // namespace modemsim
