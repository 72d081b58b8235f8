// Fuzz target: archive_ReadHeader over arbitrary file contents.
//
// The input becomes the whole file (read through fmemopen, so seeking and short reads behave
// as with a real file). The reader must never read or write outside its 160-byte buffer, and
// must return -1 or a length it can justify.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/archive.h"
#include "engine/port_context.h"
#include "report/log.h"

namespace {

void quiet(void*, int, int, const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        ctx_LogLevel(0, 1);  // info lines go to the hook only; so do error lines at level 1
        log_SetHook(quiet, nullptr);
        ready = true;
    }
    // fmemopen refuses an empty buffer: give it one byte of room and an empty file.
    uint8_t one = 0;
    FILE* f =
        size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : fmemopen(&one, 1, "wb+");
    if (f == nullptr) return 0;

    uint8_t header[WRAPPED_HEADER_MAX + 16];
    memset(header, 0xCC, sizeof header);
    int length = archive_ReadHeader(0, header, f, "fuzz.wrapped");
    long position = ftell(f);
    fclose(f);

    // Guard bytes past the buffer stay untouched.
    for (size_t i = WRAPPED_HEADER_MAX; i < sizeof header; ++i)
        if (header[i] != 0xCC) abort();
    if (length >= 0) {
        const uint32_t declared = archive_Le32(header + WRAPPED_OFFSET_HEADER_LENGTH);
        const uint32_t payload = archive_Le32(header + WRAPPED_OFFSET_PAYLOAD_SIZE);
        if (length > WRAPPED_HEADER_MAX) abort();
        if (static_cast<uint32_t>(length) != declared &&
            static_cast<uint32_t>(length) != declared + WRAPPED_EXTENDED_EXTRA)
            abort();
        if (static_cast<uint64_t>(declared) + payload != size) abort();
        if (archive_XorSum32(header, static_cast<uint32_t>(length)) != 0) abort();
        if (archive_Le32(header) != WRAPPED_MAGIC) abort();
        if (static_cast<uint32_t>(length) == declared && position != length) abort();
    }
    return 0;
}
