#include "cli/system/mm_inhibit.h"

#include <algorithm>

#include "platform/device.h"
#include "platform/lock.h"
#include "platform/modem_manager.h"

std::string mm_RefusalWarning(const std::string& uid, const std::string& why) {
    return "modemflash: warning: ModemManager refused to leave the modem (" + uid +
           ") alone: " + why +
           "; it may probe the modem's port while it is updated and break the update (stop "
           "it for the update: sudo systemctl stop ModemManager)\n";
}

namespace {}  // namespace

MmInhibit::MmInhibit(FILE* warnings)
    : lock_(lock_Create()), warnings_(warnings ? warnings : stderr) {}

MmInhibit::~MmInhibit() {
    releaseAll();
    mm_Disconnect(bus_);
    lock_Destroy(lock_);
}

bool MmInhibit::inhibit(const std::string& uid) {
    LockGuard hold(lock_);
    if (uid.empty()) return false;
    if (std::find(held_.begin(), held_.end(), uid) != held_.end()) return true;
    if (!connected_) {
        connected_ = true;
        bus_ = mm_Connect();
    }
    char why[512];
    int answer = mm_InhibitDevice(bus_, uid.c_str(), 1, why, sizeof why);
    if (answer == MM_DONE) {
        held_.push_back(uid);
        return true;
    }
    if (answer == MM_REFUSED) {
        fputs(mm_RefusalWarning(uid, why).c_str(), warnings_);
        fflush(warnings_);
    }
    return false;
}

void MmInhibit::release(const std::string& uid) {
    LockGuard hold(lock_);
    auto it = std::find(held_.begin(), held_.end(), uid);
    if (it == held_.end()) return;
    char why[512];
    mm_InhibitDevice(bus_, uid.c_str(), 0, why, sizeof why);
    held_.erase(it);
}

void MmInhibit::releaseAll() {
    LockGuard hold(lock_);
    char why[512];
    for (const std::string& uid : held_) mm_InhibitDevice(bus_, uid.c_str(), 0, why, sizeof why);
    held_.clear();
}

std::string MmInhibit::uidOfPort(const std::string& portName) {
    char path[4096];
    return dev_UsbDevicePath(portName.c_str(), path, sizeof path) ? path : "";
}
