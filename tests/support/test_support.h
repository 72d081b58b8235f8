// Helpers shared by the tests: temporary directories, captured standard streams, and a pty
// whose master side a test drives as a scripted peer.
#ifndef MODEMFLASH_TESTS_SUPPORT_H
#define MODEMFLASH_TESTS_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "platform/messages.h"

namespace testsupport {

// A fresh directory under the system's temp directory, removed with its contents at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& contents) const;

  private:
    std::string path_;
};

// Redirects stdout or stderr (fd 1 or 2) into a file while alive; text() gives what came.
class CapturedStream {
  public:
    explicit CapturedStream(int fd);
    ~CapturedStream();
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;
    std::string text();     // everything written so far (flushes the C streams first)
    std::string written();  // only what has reached the file: the C streams are not flushed

  private:
    int fd_;
    int saved_;
    std::string path_;
};

// A raw pty. The slave is published as <devRoot>/<ttyName> (a symlink) so that the serial
// service finds it as the matching COM port when MODEMFLASH_DEV_ROOT points at devRoot.
class PtyPeer {
  public:
    PtyPeer(const std::string& devRoot, const std::string& ttyName);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;
    const std::string& slavePath() const { return slave_; }
    const std::string& linkPath() const { return link_; }
    void send(const std::string& bytes);
    void send(const void* bytes, size_t count);
    // Reads what the host sent, waiting at most timeoutMs for the first byte and then taking
    // whatever follows within settleMs.
    std::string receive(int timeoutMs = 1000, int settleMs = 20);
    // Reads until `count` bytes have come or timeoutMs passes.
    std::string receiveExactly(size_t count, int timeoutMs = 2000);
    // Reads until text contains `marker` or timeoutMs passes.
    std::string receiveUntil(const std::string& marker, int timeoutMs = 2000);
    // Removes the published name and closes the master: the device vanishes.
    void vanish();
    int masterFd() const { return master_; }

  private:
    int master_;
    std::string slave_;
    std::string link_;
};

// Sets an environment variable for the life of the object, restoring the old value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();

  private:
    std::string name_;
    bool had_;
    std::string old_;
};

// A temporary root whose dev/ and sys/ trees the serial service and the port finder take for
// the machine's (MODEMFLASH_DEV_ROOT, MODEMFLASH_SYSFS_ROOT, for the life of the object), and
// the path of a firmware folder in it. The folders are the user's to make.
struct PrivateDeviceTree {
    TempDir root;
    std::string dev = root.path() + "/dev";
    std::string sys = root.path() + "/sys";
    std::string firmware = root.path() + "/firmware";
    ScopedEnv devRoot{"MODEMFLASH_DEV_ROOT", dev};
    ScopedEnv sysRoot{"MODEMFLASH_SYSFS_ROOT", sys};
};

std::string readFile(const std::string& path);

// A message posted to the calling thread's queue.
struct PostedMessage {
    uint32_t id;
    intptr_t w;  // port index
    intptr_t l;  // percentage or text slot address
};

// Takes every message from the calling thread's queue, oldest first.
inline std::vector<PostedMessage> drainPostedMessages() {
    std::vector<PostedMessage> out;
    PostedMessage m;
    while (msg_Peek(&m.id, &m.w, &m.l, 1)) out.push_back(m);
    return out;
}

}  // namespace testsupport

#endif
