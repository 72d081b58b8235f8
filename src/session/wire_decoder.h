// The host's side of the modem's protocol, taken apart as the modem reads it: command lines
// and frames (the loader's header and data frames), from the bytes the host sent and the
// bytes it got back.
//
// The session recorder runs it over what the serial service sees, to sum up each frame (its
// payload's SHA-256) instead of keeping its bytes; the simulated modem's player runs it over
// what arrives on its pty, to compare the host's commands and frames with a recording; the
// timeline reads frames with it. One set of rules for all three.
//
// Lines end at CR (an LF right after the CR belongs to the same line end; an LF alone also
// ends a line). A byte 0xAA at the start of a line starts a frame. A header frame (type 0x73)
// is as long as its archive header says (the plain or the extended form, by the header's
// XOR); a data frame (type 0x00) holds the next min(block size, remaining) payload bytes, a
// pad byte when that is odd, and its checksum. Whether a frame was accepted is read from the
// modem's bytes before the host's next frame, as the host judges it: AA 01, or AA 01 after a
// rejection's status. A frame whose length cannot be known (a bad header, a data frame before
// any header) ends where the host paused (hostPause).
#ifndef MODEMFLASH_SESSION_WIRE_DECODER_H
#define MODEMFLASH_SESSION_WIRE_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "util/sha256.h"

namespace session {

enum FrameKind { FRAME_HEADER, FRAME_DATA, FRAME_OTHER };

struct FrameInfo {
    FrameKind kind = FRAME_OTHER;
    size_t length = 0;      // bytes of the frame
    size_t expected = 0;    // bytes it should have had (0: not known)
    uint16_t sum = 0;       // the checksum it carries (its last two bytes)
    uint16_t computed = 0;  // the checksum of the bytes before them
    int block = 0;          // data frames: the block number from 1; a resend keeps it
    size_t payload = 0;     // data frames: payload bytes
    std::string sha256;     // data: of the payload; other kinds: of the whole frame
    // Header frames:
    uint32_t archiveId = 0;     // bits 0..23 of the ID word
    uint32_t payloadSize = 0;   // the archive's payload size
    uint32_t blockSize = 0;     // payload bytes per data frame
    uint32_t headerLength = 0;  // archive header bytes in the frame
    bool extended = false;      // the header's extended form (8 payload bytes inside it)
    bool sumOk() const { return sum == computed; }
};

class WireDecoder {
  public:
    class Listener {
      public:
        virtual ~Listener() {}
        // A command line, without its line end.
        virtual void onLine(const std::string& text) = 0;
        // A frame has ended; bytes is the whole frame (a data frame's only with keepFrames).
        virtual void onFrame(const FrameInfo& frame, const std::string& bytes) = 0;
    };

    explicit WireDecoder(Listener* listener, bool keepFrames = false);

    // Bytes the host sent; returns how many of them belong to frames.
    size_t host(const uint8_t* data, size_t count);
    // Bytes the modem sent (as the host read them).
    void modem(const uint8_t* data, size_t count);
    // The host stopped sending for now: a frame of unknown length ends here (with evenKnown,
    // also one whose length is known: the host gave it up).
    void hostPause(bool evenKnown = false);
    // The port was closed or reopened: what was half received is dropped, and the transfer
    // state (block size, what remains) forgotten.
    void reset();

    bool inFrame() const { return framing_; }
    // A line or a frame has begun and not yet ended.
    bool midAction() const { return framing_ || !line_.empty(); }
    // Bytes the frame being received still needs (0: none, or its length is not known).
    size_t frameBytesMissing() const {
        return framing_ && need_ > frame_.size() ? need_ - frame_.size() : 0;
    }
    // Data frames still expected for the current archive (0 outside a transfer).
    uint32_t remaining() const { return remaining_; }

  private:
    void frameByte(uint8_t b);
    void lineByte(uint8_t b);
    void startFrame();
    void endFrame();
    void judgeLastFrame();

    Listener* listener_;
    bool keep_;
    // Command line being received.
    std::string line_;
    bool afterCr_ = false;
    // Frame being received.
    bool framing_ = false;
    std::vector<uint8_t> frame_;
    size_t need_ = 0;  // its length once known
    FrameKind kind_ = FRAME_OTHER;
    mfutil::Sha256 sha_;
    // The transfer: set by an accepted header frame.
    uint32_t blockSize_ = 0;
    uint32_t remaining_ = 0;
    int acceptedBlocks_ = 0;
    // The frame that ended last, until its status has been judged.
    bool judging_ = false;
    FrameInfo last_;
    uint8_t status_[4];
    size_t statusLen_ = 0;
};

uint16_t wire_XorSum16(const uint8_t* bytes, size_t length);

}  // namespace session

#endif
