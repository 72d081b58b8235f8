// A small SHA-256: fingerprints of firmware files in the update history, and of what the
// simulated modem received.
#ifndef MODEMFLASH_UTIL_SHA256_H
#define MODEMFLASH_UTIL_SHA256_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace mfutil {

// Incremental SHA-256: update() any number of times, then hex() or digest().
class Sha256 {
  public:
    Sha256() { reset(); }
    void reset();
    void update(const void* data, size_t count);
    // The 32-byte digest of everything fed so far; the object itself is not changed.
    void digest(uint8_t out[32]) const;
    // The same as 64 lower-case hexadecimal digits.
    std::string hex() const;

  private:
    void block(const uint8_t* p);
    uint32_t h_[8];
    uint8_t buf_[64];
    size_t used_;
    uint64_t total_;
};

// The SHA-256 of one buffer, as hexadecimal text.
std::string sha256Hex(const void* data, size_t count);

}  // namespace mfutil

#endif
