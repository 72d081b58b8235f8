// What the transfer tests share: private dev and sysfs roots, a private current directory
// (the rejection log lands there), a scaled clock, the log, the progress messages and sink
// events the transfer produced, and a scripted loader on a pty for exact wire checks.
#ifndef MODEMFLASH_TESTS_TRANSFER_FIXTURE_H
#define MODEMFLASH_TESTS_TRANSFER_FIXTURE_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/archive_writer.h"
#include "modem_sim.h"
#include "modemflash/downloader.h"
#include "support/test_support.h"

namespace transfertest {

const int kPort = 0;
const double kScale = 1000.0;  // 2 s pauses take 2 ms, the 60 s status bound 60 ms

using Bytes = std::vector<uint8_t>;

struct LogEntry {
    char kind;  // 'E' log_Error, 'I' log_Info
    std::string text;
};

// Payload bytes 0, 1, 2, ... (mod 256), or pseudo-random ones.
Bytes countingPayload(size_t n);
Bytes randomPayload(size_t n, uint64_t seed);
uint16_t xor16(const Bytes& b, size_t from, size_t count);  // independent of the engine

class TransferTest : public ::testing::Test, public IDownloadSink {
  protected:
    void SetUp() override;
    void TearDown() override;
    void OnEvent(DownloadEvent* event) override;

    // Writes an archive of the payload into the temp dir and returns its path.
    std::string writeArchive(const Bytes& payload, uint32_t idWord = 3, uint32_t headerLength = 24,
                             bool extended = false, const std::string& name = "loader.wrapped");
    // Opens the port (COM65) on kPort at log level 2.
    void openPort();
    // load_SendArchive on the archive at path; the file is opened and closed here.
    int send(const std::string& path);

    std::vector<LogEntry> log();
    std::vector<std::string> errors();
    std::string logText();        // every entry, in order
    std::vector<int> progress();  // MSG_DL_PROGRESS values posted for kPort, in order
    std::vector<DownloadEvent> events();

    testsupport::TempDir dir;
    std::string devRoot;
    std::string sysRoot;
    std::string workDir;  // the current directory during the test

  private:
    static void hook(void* self, int port, int isError, const char* text);
    std::unique_ptr<testsupport::ScopedEnv> devEnv_;
    std::unique_ptr<testsupport::ScopedEnv> sysEnv_;
    std::string previousCwd_;
    std::mutex mu_;
    std::vector<LogEntry> log_;
    std::vector<DownloadEvent> events_;
    std::vector<int> progress_;
};

// A loader on a pty, published as <devRoot>/ttyACM0, that follows a script on its own thread:
// it answers AT%LOAD (ERROR `refusals` times first, each time the command comes), then reads
// the frames of the given lengths in order and answers each with its reply. A reply of ""
// means silence from then on. Every frame received is recorded.
class ScriptedLoader {
  public:
    struct Step {
        size_t length;           // bytes of the frame to read
        std::string reply;       // status bytes, and any bytes after them
        int delayReadMs = 0;     // wait this long (real ms) before reading the frame
        int injectFailure = -1;  // SERIAL_OP_* of the host to fail once before replying
        int delayReplyMs = 0;    // wait this long (real ms) before replying
    };
    ScriptedLoader(const std::string& devRoot, int refusals, std::vector<Step> steps);
    ~ScriptedLoader();
    // Waits for the script to end (at most timeoutMs real ms); the frames as received.
    std::vector<std::string> frames(int timeoutMs = 5000);
    int loadCommands() const { return loadCommands_; }
    // Real time (clk_RealNowUs) at which each AT%LOAD arrived.
    std::vector<int64_t> loadTimes();
    // Bytes that came after the script's last step (read when the script ends).
    std::string trailing();

  private:
    void run();
    testsupport::PtyPeer peer_;
    int refusals_;
    std::vector<Step> steps_;
    std::atomic<int> loadCommands_{0};
    std::atomic<bool> done_{false};
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<std::string> frames_;
    std::vector<int64_t> loadTimes_;
    std::string trailing_;
    std::thread thread_;
};

std::string status(uint8_t a, uint8_t b);
// A step answered with acceptance, or with the given bytes.
ScriptedLoader::Step okStep(size_t length);
ScriptedLoader::Step replyStep(size_t length, const std::string& bytes);
extern const char kAccepted[];  // "\xAA\x01"

}  // namespace transfertest

#endif
