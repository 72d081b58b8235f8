// The modem lock as the hosts use it: one update per modem across processes.
//
// A host takes the lock of the modem it is about to probe, keeps it through the whole update
// (every mode switch and reopen) and releases it when the update has ended; a host that finds
// the modem held by another process says which, and leaves the modem alone.
#ifndef MODEMFLASH_HOST_MODEM_CLAIM_H
#define MODEMFLASH_HOST_MODEM_CLAIM_H

#include <string>

#include "platform/modem_lock.h"

// What a claim found.
enum ClaimResult {
    CLAIM_HELD = 0,        // another process holds the modem: Holder() says which
    CLAIM_TAKEN = 1,       // this claim holds it (also: this process held it already)
    CLAIM_TAKEN_OVER = 2,  // this claim holds it; Holder() is the process that ended holding it
    CLAIM_UNLOCKED = 3     // the lock could not be kept (Why()): the update goes on without it
};

class CModemClaim {
  public:
    CModemClaim() = default;
    ~CModemClaim() { Release(); }
    CModemClaim(const CModemClaim&) = delete;
    CModemClaim& operator=(const CModemClaim&) = delete;

    // Claims the modem known by location, serial number and port name (see modemlock_Key);
    // a claim that holds another modem's lock releases it first, one that holds this one
    // keeps it.
    int Take(const std::string& location, const std::string& serial, const std::string& port);
    void Release();
    bool Holds() const { return lock_ != nullptr || ours_; }
    const ModemLockHolder& Holder() const { return holder_; }
    const std::string& Why() const { return why_; }
    // The modem as the claim names it: "at 1-1.3 (COM65)", "with serial S (COM5)", "on COM5".
    std::string Modem() const;
    // "the modem at 1-1.3 (COM65) is being updated by process 4242 (modemflash flash /fw) since
    // 2024-05-01 10:00:03 UTC", or for CLAIM_TAKEN_OVER "took over the lock of the modem at ...
    // left by process 4242 (...) since ...: that process has ended".
    std::string Words(int result) const;

  private:
    ModemLock* lock_ = nullptr;
    bool ours_ = false;  // another part of this process holds it
    std::string key_;
    std::string location_, serial_, port_;
    ModemLockHolder holder_{};
    std::string why_;
};

#endif
