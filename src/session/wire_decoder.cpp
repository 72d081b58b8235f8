#include "session/wire_decoder.h"

#include <string.h>

namespace session {

namespace {

const uint8_t FRAME_LEAD = 0xAA;
const uint8_t TYPE_HEADER = 0x73;
const uint8_t TYPE_DATA = 0x00;
const uint32_t HEADER_MAX = 160;
const size_t FRAME_CAP = 65540;  // longer than any frame: a data frame of 65534 bytes + 5

uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint32_t xor32(const uint8_t* p, size_t n) {
    uint32_t x = 0;
    for (size_t i = 0; i + 3 < n; i += 4) x ^= le32(p + i);
    return x;
}

}  // namespace

uint16_t wire_XorSum16(const uint8_t* bytes, size_t length) {
    uint16_t x = 0;
    for (size_t i = 0; i + 1 < length; i += 2) x ^= (uint16_t)(bytes[i] | bytes[i + 1] << 8);
    return x;
}

WireDecoder::WireDecoder(Listener* listener, bool keepFrames)
    : listener_(listener), keep_(keepFrames) {
    frame_.reserve(FRAME_CAP);
}

void WireDecoder::reset() {
    line_.clear();
    afterCr_ = false;
    framing_ = false;
    frame_.clear();
    need_ = 0;
    blockSize_ = 0;
    remaining_ = 0;
    acceptedBlocks_ = 0;
    judging_ = false;
    statusLen_ = 0;
}

size_t WireDecoder::host(const uint8_t* data, size_t count) {
    size_t framed = 0;
    for (size_t i = 0; i < count; ++i) {
        if (framing_) {
            // The body of a frame of known length is taken in one go.
            if (need_ > 0 && frame_.size() + 1 < need_) {
                size_t take = need_ - 1 - frame_.size();
                if (take > count - i) take = count - i;
                frame_.insert(frame_.end(), data + i, data + i + take);
                framed += take;
                i += take - 1;
                continue;
            }
            ++framed;
            frameByte(data[i]);
            continue;
        }
        if (data[i] == FRAME_LEAD && line_.empty() && !(afterCr_ && data[i] == '\n')) {
            afterCr_ = false;
            startFrame();
            ++framed;
            frameByte(data[i]);
            continue;
        }
        lineByte(data[i]);
    }
    return framed;
}

void WireDecoder::lineByte(uint8_t b) {
    bool wasAfterCr = afterCr_;
    afterCr_ = false;
    if (b == '\n' && wasAfterCr) return;
    if (b == '\r' || b == '\n') {
        afterCr_ = b == '\r';
        if (!line_.empty()) {
            judgeLastFrame();
            std::string text;
            text.swap(line_);
            listener_->onLine(text);
        }
        return;
    }
    if (line_.size() < 4096) line_ += static_cast<char>(b);
}

void WireDecoder::startFrame() {
    judgeLastFrame();
    framing_ = true;
    frame_.clear();
    need_ = 0;
    kind_ = FRAME_OTHER;
}

void WireDecoder::frameByte(uint8_t b) {
    frame_.push_back(b);
    const size_t n = frame_.size();
    const uint8_t* f = frame_.data();
    if (n == 2) {
        kind_ = f[1] == TYPE_HEADER ? FRAME_HEADER : f[1] == TYPE_DATA ? FRAME_DATA : FRAME_OTHER;
        if (kind_ == FRAME_DATA && blockSize_ > 0 && remaining_ > 0) {
            uint32_t payload = remaining_ < blockSize_ ? remaining_ : blockSize_;
            need_ = payload + 4 + (payload & 1);
        }
    }
    if (kind_ == FRAME_HEADER && need_ == 0 && n >= 12) {
        uint32_t d = le32(f + 8);
        if (d > 8 && d <= HEADER_MAX) {
            if (n == 4 + d && xor32(f + 4, d) == 0) need_ = d + 6;
            if (n == 4 + d + 8 && d + 8 <= HEADER_MAX && xor32(f + 4, d + 8) == 0)
                need_ = d + 8 + 6;
        }
    }
    if ((need_ > 0 && n >= need_) || n >= FRAME_CAP) endFrame();
}

void WireDecoder::hostPause(bool evenKnown) {
    if (framing_ && (need_ == 0 || evenKnown) && !frame_.empty()) endFrame();
}

void WireDecoder::endFrame() {
    framing_ = false;
    const uint8_t* f = frame_.data();
    const size_t n = frame_.size();
    FrameInfo info;
    info.kind = kind_;
    info.length = n;
    info.expected = need_;
    if (n >= 4) {
        info.sum = (uint16_t)(f[n - 2] | f[n - 1] << 8);
        // The checksum covers the words before it; a header frame of odd length leaves its
        // last header byte out.
        info.computed = wire_XorSum16(f, kind_ == FRAME_HEADER ? 2 * ((n - 2) / 2) : n - 2);
    }
    if (kind_ == FRAME_DATA) {
        info.block = acceptedBlocks_ + 1;
        size_t payload = n >= 4 ? n - 4 : 0;  // a frame of unknown length: its pad unknown too
        if (need_ > 0 && n == need_) payload = remaining_ < blockSize_ ? remaining_ : blockSize_;
        info.payload = payload;
        info.sha256 = mfutil::sha256Hex(f + (n >= 2 ? 2 : 0), payload);
    } else {
        info.sha256 = mfutil::sha256Hex(f, n);
    }
    if (kind_ == FRAME_HEADER && n >= 24) {
        const uint8_t* h = f + 4;
        info.blockSize = (uint32_t)(f[2] | f[3] << 8);
        info.headerLength = (uint32_t)(n - 6);
        info.payloadSize = le32(h + 8);
        info.archiveId = le32(h + 16) & 0xFFFFFF;
        info.extended = info.headerLength != le32(h + 4) && info.payloadSize >= 8;
    }
    last_ = info;
    judging_ = true;
    statusLen_ = 0;
    std::string bytes;
    // Data frames are kept whole on request; the others are small and say what follows.
    if (keep_ || kind_ != FRAME_DATA) bytes.assign(reinterpret_cast<const char*>(f), n);
    listener_->onFrame(info, bytes);
    frame_.clear();
    need_ = 0;
}

void WireDecoder::modem(const uint8_t* data, size_t count) {
    if (!judging_) return;
    for (size_t i = 0; i < count && statusLen_ < sizeof status_; ++i)
        status_[statusLen_++] = data[i];
}

// The host takes a frame as accepted on AA 01, or on AA 01 right after a rejection's status.
void WireDecoder::judgeLastFrame() {
    if (!judging_) return;
    judging_ = false;
    bool accepted = (statusLen_ >= 2 && status_[0] == 0xAA && status_[1] == 0x01) ||
                    (statusLen_ >= 4 && status_[2] == 0xAA && status_[3] == 0x01);
    if (!accepted) return;
    if (last_.kind == FRAME_HEADER && last_.expected > 0 && last_.length == last_.expected) {
        blockSize_ = last_.blockSize & ~1u;
        // The extended header's 8 extra bytes are counted in the payload size but travel in
        // the header frame.
        remaining_ = last_.extended ? last_.payloadSize - 8 : last_.payloadSize;
        acceptedBlocks_ = 0;
        if (blockSize_ == 0) remaining_ = 0;
    } else if (last_.kind == FRAME_DATA && blockSize_ > 0) {
        uint32_t n = static_cast<uint32_t>(last_.payload);
        remaining_ = n >= remaining_ ? 0 : remaining_ - n;
        ++acceptedBlocks_;
        if (remaining_ == 0) blockSize_ = 0;
    }
}

}  // namespace session
