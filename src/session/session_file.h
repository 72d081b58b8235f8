// A session file on disk: whole lines out, whole lines back, plain or compressed.
//
// The compression is chosen by the file's name: ".zst" zstd, ".gz" gzip, anything else plain
// text. Every flush leaves the file decodable up to the last line written (a compressed
// stream is flushed to a block boundary), so a host killed mid-update leaves a file that reads
// up to its last complete line. Reading recognises the compression by the file's first bytes,
// whatever its name.
#ifndef MODEMFLASH_SESSION_SESSION_FILE_H
#define MODEMFLASH_SESSION_SESSION_FILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace session {

enum Compression { COMPRESSION_NONE, COMPRESSION_GZIP, COMPRESSION_ZSTD };

// The compression a file name asks for.
Compression compressionForName(const std::string& path);
// Whether this build can write (and read) it.
bool compressionAvailable(Compression c);
const char* compressionName(Compression c);

class SessionOutput {
  public:
    SessionOutput() = default;
    ~SessionOutput();  // closes
    SessionOutput(const SessionOutput&) = delete;
    SessionOutput& operator=(const SessionOutput&) = delete;

    // Creates (or truncates) the file. False with a reason.
    bool open(const std::string& path, std::string* error);
    // Appends bytes (whole lines, each ending in "\n"); nothing reaches the file before flush.
    bool append(const char* data, size_t count);
    // Writes what was appended and makes it decodable. False when the file cannot be written.
    bool flush();
    // Flushes, ends the compressed stream and closes. False when anything failed.
    bool close();
    bool isOpen() const { return file_ != nullptr; }
    Compression compression() const { return compression_; }

  private:
    bool writeAll(const char* data, size_t count);
    bool compressPending(bool end);
    FILE* file_ = nullptr;
    Compression compression_ = COMPRESSION_NONE;
    std::string pending_;     // appended, not yet flushed
    std::vector<char> out_;   // compressed bytes to write
    void* stream_ = nullptr;  // the compressor's own state
    bool failed_ = false;
};

// Reads a whole session file into lines. A compressed stream that ends early, and a last
// line without its line end, are told (cutShort) rather than refused here: the reader decides.
struct SessionText {
    std::vector<std::string> lines;  // without their "\n"
    bool lastLineCut = false;        // the file's last bytes are not a whole line
    bool streamCut = false;          // a compressed stream ended before its end
    Compression compression = COMPRESSION_NONE;
};

// The most text a session file may hold by default: 4 GiB, or all that a 32-bit size can say.
constexpr size_t kSessionTextMax =
    static_cast<size_t>((uint64_t(1) << 32) > SIZE_MAX ? uint64_t(SIZE_MAX) : (uint64_t(1) << 32));

// False with a reason when the file cannot be read at all (missing, unreadable, a compressed
// stream that is not one, a compression this build lacks, more than maxBytes of text).
bool readSessionText(const std::string& path, SessionText* out, std::string* error,
                     size_t maxBytes = kSessionTextMax);

// The same from bytes in memory (the fuzz target and tests).
bool decodeSessionText(const std::string& bytes, SessionText* out, std::string* error,
                       size_t maxBytes = kSessionTextMax);

}  // namespace session

#endif
