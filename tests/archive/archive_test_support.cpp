#include "archive_test_support.h"

#include <stdio.h>
#include <string.h>

#include "engine/port_context.h"
#include "report/log.h"

namespace archivetest {

void putLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t le32(const Bytes& b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return v;
}

Bytes rawHeader(uint32_t length, uint32_t payloadSize, uint32_t idWord, uint32_t sig,
                uint32_t magic) {
    Bytes b(length < 24 ? 24 : length, 0);
    putLe32(b, 0, magic);
    putLe32(b, 4, length);
    putLe32(b, 8, payloadSize);
    putLe32(b, 16, idWord);
    putLe32(b, 20, sig);
    for (size_t i = 24; i < b.size(); ++i) b[i] = static_cast<uint8_t>(0x30 + i);
    b.resize(length < 24 ? length : b.size());
    return b;
}

void balance(Bytes& b, uint32_t covered) {
    putLe32(b, 12, 0);
    uint32_t x = 0;
    for (uint32_t i = 0; i + 4 <= covered; i += 4) x ^= le32(b, i);
    putLe32(b, 12, x);
}

Bytes withPayload(Bytes header, size_t payloadSize, uint8_t seed) {
    uint32_t s = seed * 2654435761u + 1;
    for (size_t i = 0; i < payloadSize; ++i) {
        s = s * 1103515245u + 12345u;
        header.push_back(static_cast<uint8_t>(s >> 16));
    }
    return header;
}

namespace {
void catchEntry(void* user, int port, int isError, const char* text) {
    if (port != 2) return;
    ReadResult* r = static_cast<ReadResult*>(user);
    (isError ? r->errors : r->info) += text;
    r->all += text;
}
}  // namespace

ReadResult readArchive(const Bytes& bytes, const std::string& name, uint8_t prefill) {
    testsupport::TempDir dir;
    std::string path = dir.file(name);
    FILE* out = fopen(path.c_str(), "wb");
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), out);
    fclose(out);

    ReadResult r;
    memset(r.header, prefill, sizeof r.header);
    ctx_LogLevel(2, 1);  // info lines to the hook only; error lines reach the hook at any level
    log_SetHook(catchEntry, &r);
    FILE* in = fopen(path.c_str(), "rb");
    r.result = archive_ReadHeader(2, r.header, in, "a.wrapped");
    r.position = ftell(in);
    fclose(in);
    log_SetHook(nullptr, nullptr);
    return r;
}

}  // namespace archivetest
