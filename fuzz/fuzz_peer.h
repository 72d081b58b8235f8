// A scripted peer for the fuzz targets that talk to a modem: a pty whose far end answers what
// the engine sends with chunks taken from the fuzz input, on a thread of its own.
//
// Each time the engine has written something (one burst of bytes, or one command line in line
// mode) and paused, the peer writes the next chunk. If the engine stays quiet for
// kIdleAdvanceMs the peer sends the next chunk anyway (a modem talking on its own). When the
// chunks are used up and the engine is quiet, the peer hangs up: every later read or write of
// the engine fails at once, so an exchange never waits out a real time-out.
#ifndef MODEMFLASH_FUZZ_FUZZ_PEER_H
#define MODEMFLASH_FUZZ_FUZZ_PEER_H

#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace fuzzpeer {

const int kIdleAdvanceMs = 3;

// Splits data into chunks: a length byte (0 means 1) followed by that many bytes (fewer at
// the end of the data).
inline std::vector<std::string> chunks(const uint8_t* data, size_t size, size_t maxChunks) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < size && out.size() < maxChunks) {
        size_t n = data[i++];
        if (n == 0) n = 1;
        if (n > size - i) n = size - i;
        out.emplace_back(reinterpret_cast<const char*>(data + i), n);
        i += n;
    }
    return out;
}

class ScriptedPeer {
  public:
    // lineMode: a request ends with CR or LF (a CR LF pair counts once); otherwise every
    // burst of bytes followed by a pause is one request.
    ScriptedPeer(std::vector<std::string> script, bool lineMode)
        : script_(std::move(script)), lineMode_(lineMode) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0) return;
        if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, slave_, sizeof slave_) != 0) {
            close(master_);
            master_ = -1;
            return;
        }
        termios t;
        if (tcgetattr(master_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(master_, TCSANOW, &t);
        }
    }
    ~ScriptedPeer() { stop(); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool ok() const { return master_ >= 0; }
    const char* slavePath() const { return slave_; }

    void start() {
        if (master_ >= 0) thread_ = std::thread([this] { run(); });
    }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    // Requests the engine made (bursts or lines).
    int requests() const { return requests_; }
    // Bytes the engine wrote.
    size_t received() const { return received_; }

  private:
    void answer() {
        if (next_ >= script_.size()) return;
        const std::string& c = script_[next_++];
        size_t done = 0;
        while (done < c.size() && !stopping_) {
            ssize_t w = write(master_, c.data() + done, c.size() - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
            } else {
                pollfd p = {master_, POLLOUT, 0};
                if (poll(&p, 1, 5) <= 0) break;  // the engine does not read: drop the rest
            }
        }
    }

    void run() {
        bool pending = false;  // a request has arrived and not been answered
        bool afterCr = false;
        int idleMs = 0;
        while (!stopping_) {
            pollfd p = {master_, POLLIN, 0};
            int r = poll(&p, 1, 1);
            if (r > 0 && (p.revents & POLLIN)) {
                char buf[4096];
                ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0) {
                    received_ += static_cast<size_t>(n);
                    idleMs = 0;
                    for (ssize_t i = 0; i < n; ++i) {
                        char b = buf[i];
                        if (!lineMode_) {
                            pending = true;
                        } else if (b == '\r' || (b == '\n' && !afterCr)) {
                            ++requests_;
                            answer();
                        }
                        afterCr = b == '\r';
                    }
                    continue;
                }
            }
            if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
                usleep(1000);  // the engine has not opened its side yet, or closed it
                continue;
            }
            if (pending) {  // a burst has ended
                pending = false;
                ++requests_;
                answer();
                continue;
            }
            if (++idleMs < kIdleAdvanceMs) continue;
            idleMs = 0;
            if (next_ < script_.size()) {
                answer();
            } else {
                // Nothing left to say: hang up, so that the engine's reads and writes fail.
                close(master_);
                master_ = -1;
                return;
            }
        }
    }

    std::vector<std::string> script_;
    bool lineMode_;
    int master_ = -1;
    char slave_[128] = {0};
    size_t next_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

}  // namespace fuzzpeer

#endif
