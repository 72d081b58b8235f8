// The archive writer.
#include "engine/archive_writer.h"

#include <errno.h>
#include <string.h>

#include "platform/file.h"

namespace {

const size_t kChunk = 64 * 1024;

void putLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// Reads until capacity bytes have come or the source ends.
long readFully(CPayloadSource& source, uint8_t* buffer, size_t capacity) {
    size_t got = 0;
    while (got < capacity) {
        long n = source.read(buffer + got, capacity - got);
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}

}  // namespace

long CFilePayload::read(uint8_t* buffer, size_t capacity) {
    size_t n = fread(buffer, 1, capacity, file_);
    if (n == 0 && ferror(file_)) return -1;
    return static_cast<long>(n);
}

long CMemoryPayload::read(uint8_t* buffer, size_t capacity) {
    size_t n = count_ - offset_ < capacity ? count_ - offset_ : capacity;
    if (n > 0) memcpy(buffer, bytes_ + offset_, n);
    offset_ += n;
    return static_cast<long>(n);
}

CPseudoRandomPayload::CPseudoRandomPayload(uint64_t seed, uint64_t size)
    : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull), left_(size) {
    if (state_ == 0) state_ = 1;
}

long CPseudoRandomPayload::read(uint8_t* buffer, size_t capacity) {
    size_t n = left_ < capacity ? static_cast<size_t>(left_) : capacity;
    for (size_t i = 0; i < n; i += 8) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        uint64_t v = state_;
        for (size_t k = 0; k < 8 && i + k < n; ++k)
            buffer[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    left_ -= n;
    return static_cast<long>(n);
}

int archive_BuildHeader(const ArchiveLayout& layout, uint32_t payloadSize, const uint8_t* first8,
                        uint8_t* header, std::string* error) {
    const uint32_t length = layout.headerLength;
    if (length < WRAPPED_BASE_HEADER_SIZE || length > WRAPPED_HEADER_MAX) {
        setError(error, "header length " + std::to_string(length) + " is outside 24.." +
                            std::to_string(WRAPPED_HEADER_MAX));
        return -1;
    }
    if (layout.extended) {
        if (length != WRAPPED_BASE_HEADER_SIZE) {
            setError(error, "the extended form needs a header length of 24");
            return -1;
        }
        if (payloadSize < WRAPPED_EXTENDED_EXTRA || first8 == nullptr) {
            setError(error, "the extended form needs a payload of at least 8 bytes");
            return -1;
        }
        // The reader tries the extended form only when the declared header's own XOR is not
        // zero, which is the XOR of the payload's first two words.
        if (archive_XorSum32(first8, WRAPPED_EXTENDED_EXTRA) == 0) {
            setError(error,
                     "the payload's first 8 bytes cancel out: the extended form would read as "
                     "a plain 24-byte header");
            return -1;
        }
    }
    memset(header, 0, WRAPPED_HEADER_MAX);
    putLe32(header + WRAPPED_OFFSET_MAGIC, WRAPPED_MAGIC);
    putLe32(header + WRAPPED_OFFSET_HEADER_LENGTH, length);
    putLe32(header + WRAPPED_OFFSET_PAYLOAD_SIZE, payloadSize);
    putLe32(header + WRAPPED_OFFSET_ARCHIVE_ID, layout.archiveIdWord);
    putLe32(header + WRAPPED_OFFSET_SIGNATURE_TYPE, layout.signatureType);
    // Further header bytes carry a fixed pattern, so that they are visible on the wire.
    for (uint32_t i = WRAPPED_BASE_HEADER_SIZE; i < length; ++i)
        header[i] = static_cast<uint8_t>(0xA5 ^ (i * 7));

    uint32_t balance = archive_XorSum32(header, length);  // the balance word is still 0
    if (layout.extended) balance ^= archive_XorSum32(first8, WRAPPED_EXTENDED_EXTRA);
    putLe32(header + WRAPPED_OFFSET_BALANCE, balance);
    return static_cast<int>(length);
}

int archive_Write(FILE* out, const ArchiveLayout& layout, uint32_t payloadSize,
                  CPayloadSource& source, std::string* error) {
    static thread_local uint8_t chunk[kChunk];
    uint8_t header[WRAPPED_HEADER_MAX];

    // The first chunk is read before the header is built: the extended form needs its bytes.
    size_t want = payloadSize < kChunk ? payloadSize : kChunk;
    long n = readFully(source, chunk, want);
    if (n < 0) {
        setError(error, "cannot read the payload");
        return 0;
    }
    if (static_cast<size_t>(n) < want) {
        setError(error, "the payload ends after " + std::to_string(n) + " of " +
                            std::to_string(payloadSize) + " bytes");
        return 0;
    }
    int length = archive_BuildHeader(layout, payloadSize, n >= 8 ? chunk : nullptr, header, error);
    if (length < 0) return 0;
    if (fwrite(header, 1, static_cast<size_t>(length), out) != static_cast<size_t>(length)) {
        setError(error, std::string("cannot write the archive: ") + strerror(errno));
        return 0;
    }

    uint64_t written = 0;
    while (n > 0) {
        if (fwrite(chunk, 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
            setError(error, std::string("cannot write the archive: ") + strerror(errno));
            return 0;
        }
        written += static_cast<uint64_t>(n);
        uint64_t left = payloadSize - written;
        want = left < kChunk ? static_cast<size_t>(left) : kChunk;
        if (want == 0) break;
        n = readFully(source, chunk, want);
        if (n < 0) {
            setError(error, "cannot read the payload");
            return 0;
        }
        if (static_cast<size_t>(n) < want) {
            setError(error, "the payload ends after " + std::to_string(written + n) + " of " +
                                std::to_string(payloadSize) + " bytes");
            return 0;
        }
    }
    // A source that holds more than it announced would be silently cut.
    uint8_t extra;
    if (source.read(&extra, 1) > 0) {
        setError(error, "the payload is longer than " + std::to_string(payloadSize) + " bytes");
        return 0;
    }
    if (fflush(out) != 0) {
        setError(error, std::string("cannot write the archive: ") + strerror(errno));
        return 0;
    }
    return 1;
}

int archive_WrapFile(const char* payloadPath, const char* outPath, const ArchiveLayout& layout,
                     std::string* error) {
    FILE* in = file_Open(payloadPath, "rb");
    if (in == nullptr) {
        setError(error, std::string("cannot open [") + payloadPath + "]: " + strerror(errno));
        return 0;
    }
    long size = -1;
    if (fseek(in, 0, SEEK_END) == 0) size = ftell(in);
    rewind(in);
    if (size < 0) {
        setError(error, std::string("cannot tell the size of [") + payloadPath + "]");
        fclose(in);
        return 0;
    }
    // The header's payload size is a 32-bit field, and the file size rule adds the header.
    if (static_cast<uint64_t>(size) + layout.headerLength > UINT32_MAX) {
        setError(error, std::string("[") + payloadPath + "] is too large for an archive");
        fclose(in);
        return 0;
    }
    FILE* out = file_Open(outPath, "wb");
    if (out == nullptr) {
        setError(error, std::string("cannot create [") + outPath + "]: " + strerror(errno));
        fclose(in);
        return 0;
    }
    CFilePayload source(in);
    int ok = archive_Write(out, layout, static_cast<uint32_t>(size), source, error);
    fclose(in);
    if (fclose(out) != 0 && ok) {
        setError(error, std::string("cannot write [") + outPath + "]: " + strerror(errno));
        ok = 0;
    }
    if (!ok) remove(outPath);
    return ok;
}

std::vector<uint8_t> archive_Build(const ArchiveLayout& layout, const std::vector<uint8_t>& payload,
                                   std::string* error) {
    std::vector<uint8_t> out;
    uint8_t header[WRAPPED_HEADER_MAX];
    int length = archive_BuildHeader(layout, static_cast<uint32_t>(payload.size()),
                                     payload.size() >= 8 ? payload.data() : nullptr, header, error);
    if (length < 0) return out;
    out.assign(header, header + length);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}
