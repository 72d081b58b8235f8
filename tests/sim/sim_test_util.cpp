// Out-of-line test builders (kept out of the header so that the compiler's bounds
// warnings see the sizes only at run time).
#include "sim_test_util.h"

namespace simtest {

Bytes makeArchive(uint32_t id, const Bytes& payload, uint32_t d, bool extended, uint32_t sigType) {
    Bytes f(d + payload.size(), 0);
    put32(f, 0, 0x1CE8040A);
    put32(f, 4, d);
    put32(f, 8, (uint32_t)payload.size());
    put32(f, 16, id);
    put32(f, 20, sigType);
    for (uint32_t i = 24; i < d; ++i) f[i] = (uint8_t)(0x40 + i);
    for (size_t i = 0; i < payload.size(); ++i) f[d + i] = payload[i];
    size_t cover = extended ? d + 8 : d;
    put32(f, 12, 0);
    put32(f, 12, xorWords(f, cover));
    return f;
}

Bytes headerFrame(const Bytes& archive, uint32_t headerLen, uint16_t blockSize) {
    Bytes f(4 + headerLen);
    f[0] = 0xAA;
    f[1] = 0x73;
    f[2] = (uint8_t)blockSize;
    f[3] = (uint8_t)(blockSize >> 8);
    for (uint32_t i = 0; i < headerLen; ++i) f[4 + i] = archive[i];
    uint16_t sum = xor16(f, 2 * ((headerLen + 4) / 2));
    f.push_back((uint8_t)sum);
    f.push_back((uint8_t)(sum >> 8));
    return f;
}

Bytes dataFrame(const uint8_t* p, size_t n, uint8_t pad) {
    Bytes f(2 + n + (n & 1));
    f[0] = 0xAA;
    f[1] = 0x00;
    for (size_t i = 0; i < n; ++i) f[2 + i] = p[i];
    if (n & 1) f[2 + n] = pad;
    uint16_t sum = xor16(f, f.size());
    f.push_back((uint8_t)sum);
    f.push_back((uint8_t)(sum >> 8));
    return f;
}

std::vector<Bytes> dataFrames(const uint8_t* p, size_t n, size_t blockSize) {
    std::vector<Bytes> frames;
    for (size_t off = 0; off < n; off += blockSize) {
        size_t take = n - off < blockSize ? n - off : blockSize;
        frames.push_back(dataFrame(p + off, take));
    }
    return frames;
}

}  // namespace simtest
