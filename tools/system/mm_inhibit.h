// Keeping ModemManager away from a modem while it is updated.
//
// Before the first byte goes to a modem the command asks ModemManager to leave the modem's
// USB device alone, and it gives the device back after the last, on every path (success,
// failure, a stop by Ctrl-C). Where there is no system bus or no ModemManager nothing happens
// and nothing is printed; a refusal prints one warning line. One object serves any number of
// modems (a station inhibits each of its modems through the same object).
#ifndef MODEMFLASH_TOOLS_MM_INHIBIT_H
#define MODEMFLASH_TOOLS_MM_INHIBIT_H

#include <stdio.h>

#include <string>
#include <vector>

struct MmConnection;
struct PlatformLock;

class MmInhibit {
  public:
    // Warnings go to `warnings` (standard error when null).
    explicit MmInhibit(FILE* warnings = nullptr);
    ~MmInhibit();  // releases whatever is still held
    MmInhibit(const MmInhibit&) = delete;
    MmInhibit& operator=(const MmInhibit&) = delete;

    // Asks ModemManager to leave the USB device at uid alone (see mm_UidOfPort). True when it
    // does so now, false when there is nothing to ask or it refused (a warning was printed).
    bool inhibit(const std::string& uid);
    // Gives one held device back (nothing when it is not held).
    void release(const std::string& uid);
    // Gives every held device back; safe to call from any thread, and more than once.
    void releaseAll();

    // The device ModemManager knows the modem on port "COM<n>" by (its USB device's path);
    // empty when the port is no USB port.
    static std::string uidOfPort(const std::string& portName);

  private:
    PlatformLock* lock_;  // guards everything below: the interrupt watch releases from its thread
    FILE* warnings_;
    MmConnection* bus_ = nullptr;
    bool connected_ = false;  // a connection was tried
    std::vector<std::string> held_;
};

// The one-line warning printed when ModemManager refuses.
std::string mm_RefusalWarning(const std::string& uid, const std::string& why);

#endif
