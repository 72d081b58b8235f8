// The simulated modem for tests and tools: a protocol core on a pty, run on its own thread.
//
//   modemsim::SimOptions o;
//   o.devRoot = dir + "/dev";            // MODEMFLASH_DEV_ROOT of the host under test
//   o.sysfsRoot = dir + "/sys";          // MODEMFLASH_SYSFS_ROOT
//   o.scenario = "refuse AT%LOAD times=2\n";
//   modemsim::ModemSim sim;
//   std::string err;
//   ASSERT_TRUE(sim.start(o, &err)) << err;   // returns once <devRoot>/ttyACM0 exists
//   ... run the host against COM65 ...
//   sim.stop();                               // joins, removes what it published
//   EXPECT_EQ(sim.flash(3), payloadOfLoader);
//
// The modem publishes its port as <devRoot>/<tty> (a symlink to /dev/pts/N) plus the sysfs
// entries of sysfs_layout.h. After AT%MODE=n it answers OK, waits until the host has closed
// the port (at most about 2 s), removes the names, closes the pty, waits the republish delay
// (scaled by the clock service, so clk_SetScale / MODEMFLASH_TIME_SCALE shorten it) and
// publishes a fresh pty under the same name, or the next number with renumberOnSwitch.
// The host may close and reopen the port at any time.
//
// Every query is thread-safe and returns a copy.
#ifndef MODEMFLASH_SIM_MODEM_SIM_H
#define MODEMFLASH_SIM_MODEM_SIM_H

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "scenario.h"
#include "sim_core.h"
#include "sysfs_layout.h"
#include "tty_pool.h"

namespace modemsim {

// Handed to SimOptions::onPublish: "publish" runs after the pty is ready and before the modem
// answers on it; "unpublish" after its names are removed.
struct PublishEvent {
    bool publish = true;
    std::string ttyName;     // "ttyACM0"
    int comNumber = 0;       // 65
    std::string devicePath;  // "/dev/pts/N"
};

struct SimOptions {
    std::string devRoot;    // required
    std::string sysfsRoot;  // required
    std::string ttyName = "ttyACM0";
    bool renumberOnSwitch = false;  // ttyACM<k> comes back as ttyACM<k+1>
    // When set, the number of ttyName is ignored: the modem takes the pool's lowest free
    // number at start and at every republication (ttyName's prefix stays).
    std::shared_ptr<TtyPool> ttyPool;
    uint32_t republishDelayMs = 3000;  // scaled
    // The line's speed toward the modem, in bytes per (scaled) second: the modem takes no more
    // than that, so that a host's writes wait as on a real link. 0: as fast as the pty goes.
    uint32_t lineRate = 0;
    int initialMode = 0;
    int initialAutorun = 1;
    std::string scenario;        // scenario text (see scenario_HelpText)
    std::string transcriptPath;  // every byte in and out with a time stamp; "" none
    std::function<void(const PublishEvent&)> onPublish;  // optional, runs on the sim thread
    UsbPortLayout layout;  // strings of the published device; roots and tty
                           // name are taken from the fields above
    // Plays the modem of this recorded session instead (replay_core.h): it appears at the
    // recorded location, with the recorded serial number and port name (the scenario, the
    // initial mode and autorun and the tty name are then not used). replayStrict ends the
    // session at the host's first deviation; replayPartial plays an interrupted recording up
    // to its last whole line.
    std::string replayPath;
    bool replayStrict = false;
    bool replayPartial = false;
};

struct ArchiveSummary {
    int number = 0;
    uint32_t id = 0;
    uint64_t size = 0;  // payload bytes received
    std::string sha256;
    bool complete = false;
    bool programmed = false;
    bool signatureChecked = false;
    uint32_t headerLength = 0;
    uint32_t blocks = 0;
    uint32_t rejections = 0;
};

class ModemSim {
  public:
    ModemSim();
    ~ModemSim();  // stops
    ModemSim(const ModemSim&) = delete;
    ModemSim& operator=(const ModemSim&) = delete;

    // Starts the modem thread and returns once the first port is published. false with a
    // reason (bad scenario, no pty, cannot write the roots); the object can be started again.
    bool start(const SimOptions& options, std::string* error);
    // Stops the thread, removes the published names and closes the pty. Queries keep working.
    void stop();
    bool running() const;

    // The current port: name and COM number (ttyACM<k> is COM<65+k>); published is false
    // between a drop and the republication. devicePath is the current /dev/pts/N.
    std::string ttyName() const;
    int comNumber() const;
    bool published() const;
    std::string devicePath() const;
    // How many times a port has been published (1 after start).
    int publishCount() const;
    // Waits until publishCount() reaches count and the port is published, at most timeoutMs
    // of real time; true when it did.
    bool waitPublished(int count, int timeoutMs) const;

    int mode() const;
    int autorun() const;
    // True while the host can only be waiting in vain for an answer: the modem is there but
    // silent, or it ignored the last thing it received. A test harness may run the clock
    // fast meanwhile.
    bool withholding() const;
    std::vector<std::string> commands() const;
    std::vector<ArchiveSummary> archives() const;
    // Programmed contents of an archive ID (empty when none), and the IDs programmed.
    std::vector<uint8_t> flash(uint32_t archiveId) const;
    bool hasFlash(uint32_t archiveId) const;
    std::vector<std::string> deviations() const;
    std::string reportJson() const;
    // Where the modem is plugged in (its layout's usb_device name, e.g. "1-1.3") and its
    // USB serial number.
    std::string location() const;
    std::string serialNumber() const;
    // A played-back session that has ended (strict, at a deviation; or the port gone for good
    // as recorded).
    bool ended() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace modemsim

#endif
