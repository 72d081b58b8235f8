// The tty numbers of a device tree's simulated modems.
#include "tty_pool.h"

namespace modemsim {

int TtyPool::acquire() {
    std::lock_guard<std::mutex> g(mu_);
    int k = 0;
    while (held_.count(k)) ++k;
    held_.insert(k);
    return k;
}

void TtyPool::release(int number) {
    std::lock_guard<std::mutex> g(mu_);
    held_.erase(number);
}

std::string tty_Prefix(const std::string& tty) {
    size_t i = tty.size();
    while (i > 0 && tty[i - 1] >= '0' && tty[i - 1] <= '9') --i;
    return tty.substr(0, i);
}

}  // namespace modemsim
