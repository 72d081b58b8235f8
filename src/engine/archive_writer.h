// The archive writer: a payload in, a valid wrapped archive out.
//
// The header it writes has the magic word, the declared length (24 to 160), the payload size,
// the archive ID word and the signature type, then (for lengths above 24) filler bytes of a
// fixed pattern, and in the word at offset 12 the balance that makes the header's 32-bit XOR
// zero. In the extended form the declared header is 24 bytes whose own XOR is not zero: the
// balance is chosen so that the XOR over 32 bytes, the header and the first 8 payload bytes,
// is zero, as the reader's second try expects.
//
// The payload is streamed through a CPayloadSource in chunks, so archives of any size are
// written without holding the payload in memory.
#ifndef MODEMFLASH_ENGINE_ARCHIVE_WRITER_H
#define MODEMFLASH_ENGINE_ARCHIVE_WRITER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "engine/archive.h"

struct ArchiveLayout {
    uint32_t archiveIdWord = 0;  // bits 0-23 the archive ID; the top byte is written as given
    uint32_t signatureType = 0;  // 0 SHA1, 1 SHA1/RSA (other values are written as given)
    uint32_t headerLength = WRAPPED_BASE_HEADER_SIZE;  // declared length, 24..160
    bool extended = false;  // 24-byte header balanced together with the first 8 payload bytes
};

// Where payload bytes come from.
class CPayloadSource {
  public:
    virtual ~CPayloadSource() = default;
    // Fills up to capacity bytes; returns the count, 0 at the end, -1 on a read error.
    virtual long read(uint8_t* buffer, size_t capacity) = 0;
};

// Payload from an open file, read from its current position.
class CFilePayload : public CPayloadSource {
  public:
    explicit CFilePayload(FILE* file) : file_(file) {}
    long read(uint8_t* buffer, size_t capacity) override;

  private:
    FILE* file_;
};

// Payload from memory.
class CMemoryPayload : public CPayloadSource {
  public:
    CMemoryPayload(const uint8_t* bytes, size_t count) : bytes_(bytes), count_(count) {}
    long read(uint8_t* buffer, size_t capacity) override;

  private:
    const uint8_t* bytes_;
    size_t count_;
    size_t offset_ = 0;
};

// A deterministic pseudo-random payload of a given size: the same seed always gives the same
// bytes (a 64-bit xorshift generator).
class CPseudoRandomPayload : public CPayloadSource {
  public:
    CPseudoRandomPayload(uint64_t seed, uint64_t size);
    long read(uint8_t* buffer, size_t capacity) override;

  private:
    uint64_t state_;
    uint64_t left_;
};

// Builds the header for a payload of payloadSize bytes into header (WRAPPED_HEADER_MAX
// bytes). first8 holds the payload's first 8 bytes (needed for the extended form only; may be
// null otherwise). Returns the number of header bytes to write (the declared length), or -1
// with the reason in *error.
int archive_BuildHeader(const ArchiveLayout& layout, uint32_t payloadSize, const uint8_t* first8,
                        uint8_t* header, std::string* error);

// Writes the header and exactly payloadSize bytes from source to out. 1 on success, 0 with
// the reason in *error (bad layout, source shorter or longer than payloadSize, write failure).
int archive_Write(FILE* out, const ArchiveLayout& layout, uint32_t payloadSize,
                  CPayloadSource& source, std::string* error);

// Wraps the file at payloadPath into a new archive at outPath. 1 on success, 0 with the reason
// in *error; a failed write removes the partial output.
int archive_WrapFile(const char* payloadPath, const char* outPath, const ArchiveLayout& layout,
                     std::string* error);

// The archive of an in-memory payload, for tests. Empty (and *error set) on failure.
std::vector<uint8_t> archive_Build(const ArchiveLayout& layout, const std::vector<uint8_t>& payload,
                                   std::string* error = nullptr);

#endif
