// The simulated modem's core: the bytes it is fed, command lines, and its state across
// drops.
#include "sim_core.h"

#include <string.h>

#include "sim_core_detail.h"

namespace modemsim {

using namespace detail;

uint16_t sim_XorSum16(const uint8_t* bytes, size_t length) {
    uint16_t x = 0;
    for (size_t i = 0; i + 1 < length; i += 2) x ^= le16(bytes + i);
    return x;
}

uint32_t sim_XorSum32(const uint8_t* bytes, size_t length) {
    uint32_t x = 0;
    for (size_t i = 0; i + 3 < length; i += 4) x ^= le32(bytes + i);
    return x;
}

Core::Core(const CoreConfig& config, const Scenario& scenario)
    : scenario_(scenario),
      state_(ST_COMMAND),
      mode_(config.initialMode),
      autorun_(config.initialAutorun),
      frame_(FRAME_MAX + 8) {}

// ---- input ----------------------------------------------------------------------------

void Core::feed(const uint8_t* data, size_t count, int64_t nowMs, CoreOutput& out) {
    if (count > 0) ignoring_ = false;
    for (size_t i = 0; i < count; ++i) {
        // The body of a data frame whose length is known is copied in one go; its last byte
        // goes through the byte path, which judges the frame.
        if (state_ == ST_DATA && frameLen_ >= 2 && frameLen_ + 1 < frameNeed_) {
            size_t take = frameNeed_ - 1 - frameLen_;
            if (take > count - i) take = count - i;
            memcpy(&frame_[frameLen_], data + i, take);
            frameLen_ += take;
            i += take - 1;
            continue;
        }
        switch (state_) {
            case ST_COMMAND:
                commandByte(data[i], out);
                break;
            case ST_HEADER:
            case ST_DATA:
            case ST_DISCARD:
                frameByte(data[i], nowMs, out);
                break;
            case ST_SILENT:
            case ST_DROPPED:
                break;
        }
        if (state_ != ST_COMMAND) flushEcho(out);
    }
    flushEcho(out);
    if (count > 0) lastByteMs_ = nowMs;
}

void Core::tick(int64_t nowMs, CoreOutput& out) {
    int64_t quietMs = nowMs - lastByteMs_;
    if (quietMs < FRAME_GAP_MS) return;
    if (state_ == ST_DISCARD) {
        state_ = discardFrom_;
        frameLen_ = 0;
        frameNeed_ = 0;
        reject(discardCode_, "", out);
    } else if ((state_ == ST_HEADER || state_ == ST_DATA) && frameLen_ > 0 &&
               quietMs >= FRAME_STALL_MS) {
        char b[96];
        snprintf(b, sizeof b, "frame cut short: %zu bytes then silence", frameLen_);
        frameLen_ = 0;
        frameNeed_ = 0;
        reject(STATUS_BAD_HEADER, b, out);
    }
}

void Core::hostClosed() {
    lineLen_ = 0;
    lineOverflow_ = false;
    afterCr_ = false;
    if (state_ == ST_HEADER || state_ == ST_DATA || state_ == ST_DISCARD) {
        abandonTransfer(frameLen_ > 0 || state_ == ST_DISCARD
                            ? "host closed the port mid-frame"
                            : "host closed the port during a transfer");
    }
}

bool Core::takeDrop(DropRequest* out) {
    if (!dropPending_) return false;
    *out = drop_;
    dropPending_ = false;
    return true;
}

void Core::rebooted() {
    state_ = ST_COMMAND;
    echo_ = true;
    lineLen_ = 0;
    lineOverflow_ = false;
    afterCr_ = false;
    echoLen_ = 0;
    frameLen_ = 0;
    frameNeed_ = 0;
}

// ---- command lines ----------------------------------------------------------------------

void Core::flushEcho(CoreOutput& out) {
    if (echoLen_ > 0) out.write(echoBuf_, echoLen_);
    echoLen_ = 0;
}

void Core::commandByte(uint8_t b, CoreOutput& out) {
    bool wasAfterCr = afterCr_;
    afterCr_ = false;
    // The LF of a CR LF line end: the line was answered at its CR, and the LF is not echoed
    // after the answer.
    if (b == '\n' && wasAfterCr) return;
    if (echo_) {
        if (echoLen_ == sizeof echoBuf_) flushEcho(out);
        echoBuf_[echoLen_++] = b;
    }
    if (b == '\r') {
        afterCr_ = true;
        endLine(out);
        return;
    }
    if (b == '\n') {
        if (lineLen_ == 0 && !lineOverflow_) return;
        deviation("command line ended with LF alone");
        endLine(out);
        return;
    }
    if (wasAfterCr && lastLineNeedsLf_) deviation("command line ended with CR alone");
    lastLineNeedsLf_ = false;
    if (lineLen_ < sizeof line_) {
        line_[lineLen_++] = (char)b;
    } else {
        lineOverflow_ = true;
    }
}

void Core::endLine(CoreOutput& out) {
    lastLineNeedsLf_ = false;
    if (lineOverflow_) {
        recordCommand(printable(line_, lineLen_) + "...");
        deviation("command line longer than 256 bytes");
        lineLen_ = 0;
        lineOverflow_ = false;
        flushEcho(out);
        answer(ERROR_TEXT, Shape(), out);
        return;
    }
    if (lineLen_ == 0) return;
    std::string text = printable(line_, lineLen_);
    bool clean = text.size() == lineLen_;
    lineLen_ = 0;
    recordCommand(text);
    flushEcho(out);
    if (!clean || text.size() < 2 || toupper((unsigned char)text[0]) != 'A' ||
        toupper((unsigned char)text[1]) != 'T') {
        deviation("malformed command line [" + text + "]");
        answer(ERROR_TEXT, Shape(), out);
        return;
    }
    std::string cmd = upper(text);
    lastLineNeedsLf_ = cmd != "AT" && cmd != "ATI";
    runCommand(cmd, out);
}

}  // namespace modemsim
