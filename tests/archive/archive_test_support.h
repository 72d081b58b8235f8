// Helpers of the archive tests: archives built byte by byte, and a reader run whose log is
// caught through the log hook.
#ifndef MODEMFLASH_TESTS_ARCHIVE_SUPPORT_H
#define MODEMFLASH_TESTS_ARCHIVE_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "engine/archive.h"
#include "support/test_support.h"

namespace archivetest {

using Bytes = std::vector<uint8_t>;

void putLe32(Bytes& b, size_t at, uint32_t v);
uint32_t le32(const Bytes& b, size_t at);

// A header of `length` bytes (at least 24 allocated) with the given fields, the balance word
// at offset 12 left 0: callers balance it with balance().
Bytes rawHeader(uint32_t length, uint32_t payloadSize, uint32_t idWord = 3, uint32_t sig = 0,
                uint32_t magic = WRAPPED_MAGIC);
// Sets the word at offset 12 so that the XOR over the first `covered` bytes is 0.
void balance(Bytes& b, uint32_t covered);
// header followed by payloadSize pseudo-random bytes.
Bytes withPayload(Bytes header, size_t payloadSize, uint8_t seed = 1);

struct ReadResult {
    int result = 0;
    long position = -1;  // file position after the read
    std::string info;    // log_Info entries, in order
    std::string errors;  // log_Error entries, in order
    std::string all;     // both, in order
    uint8_t header[WRAPPED_HEADER_MAX];
};

// Writes bytes to a fresh file and reads its header on port 2 with the log caught.
ReadResult readArchive(const Bytes& bytes, const std::string& name = "a.wrapped",
                       uint8_t prefill = 0xEE);

}  // namespace archivetest

#endif
