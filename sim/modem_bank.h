// Several simulated modems in one private device tree, as a station's hub of modems.
//
//   modemsim::BankOptions o;
//   o.devRoot = dir + "/dev";  o.sysfsRoot = dir + "/sys";
//   o.count = 4;
//   o.scenarios[2] = "refuse AT%PROG times=99\n";   // faults of the third modem only
//   modemsim::ModemBank bank;
//   ASSERT_TRUE(bank.start(o, &err)) << err;
//   ... bank.modem(i).flash(id), bank.modem(i).location() ...
//
// Modem i (0-based) is plugged in at bank_Location(i): four hubs of four ports, "1-1.1" ..
// "1-4.4", with the USB serial number "SIM" and i+1 in four digits. The modems share one
// TtyPool, so each takes the lowest free ttyACM number whenever its port (re)appears.
#ifndef MODEMFLASH_SIM_MODEM_BANK_H
#define MODEMFLASH_SIM_MODEM_BANK_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "modem_sim.h"

namespace modemsim {

#define BANK_MAX_MODEMS 16

struct BankOptions {
    std::string devRoot;                   // required
    std::string sysfsRoot;                 // required
    int count = 1;                         // 1..BANK_MAX_MODEMS
    uint32_t republishDelayMs = 3000;      // scaled
    uint32_t lineRate = 0;                 // bytes per scaled second toward each modem; 0 none
    std::string scenario;                  // faults every modem has
    std::map<int, std::string> scenarios;  // more faults for modem i
    std::map<int, std::string> serials;    // another USB serial number for modem i
    std::string transcriptDir;             // "" none; else transcript-<location>.txt in it
    // Runs on the publishing modem's thread, with the modem's index.
    std::function<void(int modem, const PublishEvent&)> onPublish;
};

std::string bank_Location(int modem);
std::string bank_Serial(int modem);

class ModemBank {
  public:
    ~ModemBank();  // stops
    // Starts every modem; on a failure the ones started are stopped again.
    bool start(const BankOptions& options, std::string* error);
    // Stops every modem; their queries keep working until the next start.
    void stop();
    int count() const { return static_cast<int>(modems_.size()); }
    ModemSim& modem(int i) { return *modems_[static_cast<size_t>(i)]; }
    const ModemSim& modem(int i) const { return *modems_[static_cast<size_t>(i)]; }
    // {"modems": [{"location", "serial", "report": <the modem's own report>}, ...]}
    std::string reportJson() const;

  private:
    std::vector<std::unique_ptr<ModemSim>> modems_;
};

}  // namespace modemsim

#endif
