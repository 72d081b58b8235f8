// The simulated modem's end of its line: the master side of a pseudo-terminal, raw and
// non-blocking. The host opens the slave side (/dev/pts/N) through the names the modem
// publishes for it.
#ifndef MODEMFLASH_SIM_PTY_LINK_H
#define MODEMFLASH_SIM_PTY_LINK_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <string>

namespace modemsim {

class PtyLink {
  public:
    PtyLink() = default;
    ~PtyLink() { close(); }
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Opens a new pty, made raw from the master side so that the slave neither echoes nor
    // rewrites CR. False with the reason; the link stays closed.
    bool open(std::string* error);
    // Closes the master: the host's side sees the device gone.
    void close();
    bool isOpen() const { return fd_ >= 0; }
    // The slave's path, "/dev/pts/N" (kept after close, for the names still to be removed).
    const std::string& slavePath() const { return slave_; }

    // Writes every byte unless the host is gone, or has made no room for writeWaitMs of real
    // time, or stop becomes true. The bytes written.
    size_t write(const uint8_t* data, size_t count, int64_t writeWaitMs,
                 const std::atomic<bool>& stop);
    // Waits at most ms for input: the poll revents (0 when nothing came, -1 on an error).
    int waitInput(int ms);
    // One read of what has arrived (at most capacity bytes): as read(2).
    ssize_t read(uint8_t* buffer, size_t capacity);
    // True while the host has not read everything sent to it (or when that cannot be told).
    // The count is only visible on the slave side, so the slave is opened for a moment.
    bool hostHasUnread() const;

  private:
    int fd_ = -1;
    std::string slave_;
};

}  // namespace modemsim

#endif
