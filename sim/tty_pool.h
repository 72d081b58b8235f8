// Tty numbers shared by the simulated modems of one device tree.
#ifndef MODEMFLASH_SIM_TTY_POOL_H
#define MODEMFLASH_SIM_TTY_POOL_H

#include <mutex>
#include <set>
#include <string>

namespace modemsim {

// Like the Linux cdc_acm driver, a modem that (re)appears takes the lowest number no other
// modem holds, and gives it back when it drops its port; so modems that switch mode at about
// the same time swap names.
class TtyPool {
  public:
    // The lowest free number, now held by the caller.
    int acquire();
    void release(int number);

  private:
    std::mutex mu_;  // guards held_: every modem's thread takes and gives back numbers
    std::set<int> held_;
};

// "ttyACM" of "ttyACM3": the name without its number.
std::string tty_Prefix(const std::string& tty);

}  // namespace modemsim

#endif
