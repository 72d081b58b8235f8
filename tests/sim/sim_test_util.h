// Test helpers for the simulated modem: an archive writer of its own (independent of the
// project's), frame builders, and a recording output for the protocol core.
#ifndef MODEMFLASH_TESTS_SIM_TEST_UTIL_H
#define MODEMFLASH_TESTS_SIM_TEST_UTIL_H

#include <stdint.h>

#include <string>
#include <vector>

#include "sim_core.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline void put32(Bytes& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = (uint8_t)(v >> (8 * i));
}

inline uint32_t xorWords(const Bytes& b, size_t len) {
    uint32_t x = 0;
    for (size_t i = 0; i + 4 <= len; i += 4) {
        x ^= (uint32_t)b[i] | (uint32_t)b[i + 1] << 8 | (uint32_t)b[i + 2] << 16 |
             (uint32_t)b[i + 3] << 24;
    }
    return x;
}

// Payload bytes that differ from block to block.
inline Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes p(n);
    uint32_t s = 0x12345u * seed + 7;
    for (size_t i = 0; i < n; ++i) {
        s = s * 1103515245u + 12345u;
        p[i] = (uint8_t)(s >> 16);
    }
    return p;
}

// An archive file: header of declared length d (>= 24) whose 32-bit XOR is balanced by the
// word at offset 12, then the payload. With extended, the XOR is balanced over d + 8 bytes
// instead (the first 8 payload bytes complete the header), so only the extended form holds.
Bytes makeArchive(uint32_t id, const Bytes& payload, uint32_t d = 24, bool extended = false,
                  uint32_t sigType = 0);

inline uint16_t xor16(const Bytes& b, size_t len) {
    uint16_t x = 0;
    for (size_t i = 0; i + 2 <= len; i += 2) x ^= (uint16_t)(b[i] | b[i + 1] << 8);
    return x;
}

// Header frame: AA 73, block size, the first headerLen archive bytes, checksum at 4 + L.
Bytes headerFrame(const Bytes& archive, uint32_t headerLen, uint16_t blockSize);

// Data frame: AA 00, the bytes, a pad byte when their count is odd, checksum.
Bytes dataFrame(const uint8_t* p, size_t n, uint8_t pad = 0x5A);

// All data frames of a payload region.
std::vector<Bytes> dataFrames(const uint8_t* p, size_t n, size_t blockSize);

// Collects what the core writes, and the pauses it asks for, in order.
class Recorder : public modemsim::CoreOutput {
  public:
    void write(const uint8_t* data, size_t count) override {
        out.append(reinterpret_cast<const char*>(data), count);
        pieces.push_back(std::string(reinterpret_cast<const char*>(data), count));
        events.push_back("W");
    }
    void pauseReal(uint32_t ms) override {
        realPauses.push_back(ms);
        events.push_back("R" + std::to_string(ms));
    }
    void pause(uint32_t ms) override {
        pauses.push_back(ms);
        events.push_back("P" + std::to_string(ms));
    }
    std::string take() {
        std::string s = out;
        out.clear();
        pieces.clear();
        return s;
    }
    std::string out;
    std::vector<std::string> pieces;
    std::vector<uint32_t> pauses;
    std::vector<uint32_t> realPauses;
    std::vector<std::string> events;
};

inline std::string str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}
const std::string kAccepted("\xAA\x01", 2);

}  // namespace simtest

#endif
