// The modem lock as the hosts use it.
#include "host/modem_claim.h"

#include <string.h>

#include "platform/error.h"

int CModemClaim::Take(const std::string& location, const std::string& serial,
                      const std::string& port) {
    char key[128];
    if (!modemlock_Key(location.c_str(), serial.c_str(), port.c_str(), key, sizeof key)) {
        Release();
        why_ = "the modem has no location, serial number or port name to lock it by";
        return CLAIM_UNLOCKED;
    }
    location_ = location;
    serial_ = serial;
    port_ = port;
    if (Holds() && key_ == key) return CLAIM_TAKEN;
    Release();
    memset(&holder_, 0, sizeof holder_);
    int r = modemlock_Acquire(location.c_str(), serial.c_str(), port.c_str(), &lock_, &holder_);
    switch (r) {
        case MODEM_LOCK_TAKEN:
            key_ = key;
            return CLAIM_TAKEN;
        case MODEM_LOCK_TAKEN_OVER:
            key_ = key;
            return CLAIM_TAKEN_OVER;
        case MODEM_LOCK_OURS:
            key_ = key;
            ours_ = true;
            return CLAIM_TAKEN;
        case MODEM_LOCK_HELD:
            return CLAIM_HELD;
        default: {
            char text[128];
            err_Text(err_Last(), text, sizeof text);
            char root[512] = "";
            modemlock_Root(root, sizeof root);
            why_ = std::string("the lock folder ") + root + " cannot be used: " + text;
            return CLAIM_UNLOCKED;
        }
    }
}

void CModemClaim::Release() {
    modemlock_Release(lock_);
    lock_ = nullptr;
    ours_ = false;
    key_.clear();
}

std::string CModemClaim::Modem() const {
    std::string port = port_.empty() ? "" : " (" + port_ + ")";
    if (!location_.empty()) return "at " + location_ + port;
    if (!serial_.empty()) return "with serial number " + serial_ + port;
    return "on " + port_;
}

std::string CModemClaim::Words(int result) const {
    char holder[512];
    modemlock_Describe(&holder_, holder, sizeof holder);
    switch (result) {
        case CLAIM_HELD:
            return "the modem " + Modem() + " is being updated by " + holder;
        case CLAIM_TAKEN_OVER:
            return "took over the lock of the modem " + Modem() + " left by " + holder +
                   ": that process has ended";
        case CLAIM_UNLOCKED:
            return "the modem " + Modem() + " is not locked (" + why_ +
                   "): another program could update it at the same time";
        default:
            return "";
    }
}
