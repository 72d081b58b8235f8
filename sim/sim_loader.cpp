// The simulated modem's loader: the header and data frames, their status bytes, and the
// archives they make.
#include "sim_core.h"
#include "sim_core_detail.h"
#include "util/sha256.h"

namespace modemsim {

using namespace detail;

// ---- frames -----------------------------------------------------------------------------

void Core::sendStatus(uint8_t a, uint8_t b, CoreOutput& out) {
    std::string s;
    s += (char)a;
    s += (char)b;
    Shape shape = statusShape_;
    statusShape_ = Shape();
    answer(s, shape, out);
}

void Core::discard(uint8_t code, const std::string& why) {
    deviation(why);
    discardFrom_ = state_;
    discardCode_ = code;
    state_ = ST_DISCARD;
    frameLen_ = 0;
    frameNeed_ = 0;
}

void Core::reject(uint8_t code, const std::string& why, CoreOutput& out) {
    if (!why.empty()) deviation(why);
    if (!archives_.empty() && state_ == ST_DATA) archives_.back().rejections++;
    sendStatus(STATUS_LEAD, code, out);
    frameLen_ = 0;
    frameNeed_ = 0;
    if (++frameRejects_ >= FRAME_REJECT_LIMIT)
        abandonTransfer("transfer given up after 3 rejections of one frame");
}

void Core::abandonTransfer(const std::string& why) {
    if (state_ != ST_HEADER && state_ != ST_DATA && state_ != ST_DISCARD) return;
    deviation(why);
    state_ = ST_COMMAND;
    frameLen_ = 0;
    frameNeed_ = 0;
    frameRejects_ = 0;
}

void Core::frameByte(uint8_t b, int64_t nowMs, CoreOutput& out) {
    if (state_ == ST_DISCARD) {
        // Bytes of a frame already judged bad; the status goes out once the host is quiet.
        return;
    }
    (void)nowMs;
    // The LF that ends the AT%LOAD line arrives after its answer, before the first frame.
    bool wasAfterCr = afterCr_;
    afterCr_ = false;
    if (wasAfterCr && b == '\n' && frameLen_ == 0) return;
    frame_[frameLen_++] = b;
    if (state_ == ST_HEADER) {
        headerFrameByte(out);
    } else {
        dataFrameByte(out);
    }
}

void Core::headerFrameByte(CoreOutput& out) {
    const uint8_t* f = frame_.data();
    const uint8_t* h = f + 4;
    if (frameLen_ == 1 && f[0] != FRAME_LEAD) {
        return discard(STATUS_BAD_LEAD_OR_TYPE, "header frame with lead byte " + hex8(f[0]));
    }
    if (frameLen_ == 2 && f[1] != FRAME_TYPE_HEADER) {
        return discard(STATUS_BAD_LEAD_OR_TYPE, "header frame with type byte " + hex8(f[1]));
    }
    if (frameLen_ == 4) {
        uint16_t bs = le16(f + 2);
        if (bs == 0 || (bs & 1)) {
            return discard(STATUS_BAD_HEADER, "header frame with block size " + std::to_string(bs));
        }
    }
    if (frameLen_ == 12) {
        uint32_t magic = le32(h), d = le32(h + 4);
        if (magic != WRAPPED_MAGIC)
            return discard(STATUS_BAD_HEADER, "archive header with a wrong magic word");
        if (d <= 8 || d > HEADER_MAX) {
            return discard(STATUS_BAD_HEADER,
                           "archive header length " + std::to_string(d) + " out of range");
        }
    }
    if (frameLen_ < 12) return;
    uint32_t d = le32(h + 4);
    if (frameNeed_ == 0 && frameLen_ == 4 + d) {
        if (sim_XorSum32(h, d) == 0) {
            frameNeed_ = d + 6;
        } else if (d > EXTENDED_MAX) {
            return discard(STATUS_BAD_HEADER, "archive header checksum not 0");
        }
    }
    if (frameNeed_ == 0 && frameLen_ == 4 + d + 8) {
        if (sim_XorSum32(h, d + 8) != 0) {
            return discard(STATUS_BAD_HEADER, "archive header checksum not 0, plain or extended");
        }
        frameNeed_ = d + 8 + 6;
    }
    if (frameNeed_ != 0 && frameLen_ == frameNeed_) acceptHeader(out);
}

void Core::acceptHeader(CoreOutput& out) {
    const uint8_t* f = frame_.data();
    const uint8_t* h = f + 4;
    uint32_t len = (uint32_t)frameNeed_ - 6;
    uint32_t d = le32(h + 4);
    size_t covered = 2 * ((len + 4) / 2);
    uint16_t want = sim_XorSum16(f, covered), got = le16(f + len + 4);
    if (want != got) {
        return reject(STATUS_BAD_CHECKSUM,
                      "header frame checksum " + hex16(got) + ", expected " + hex16(want), out);
    }
    bool extended = len != d;
    uint32_t payload = headerWord(h, len, 8);
    if (extended && payload < 8) {
        return reject(STATUS_BAD_HEADER, "extended archive header with payload size below 8", out);
    }
    if (frameFault(0, out)) return;
    ArchiveRecord a;
    a.number = loads_;
    a.id = headerWord(h, len, 16) & 0xFFFFFF;
    a.declaredLength = d;
    a.headerLength = len;
    a.payloadSize = payload;
    a.blockSize = le16(f + 2);
    a.extended = extended;
    if (extended && d != 24) {
        deviation("extended archive header with declared length " + std::to_string(d) +
                  " (only 24 places the extra bytes right after it)");
    }
    a.payload.reserve(payload);
    if (extended) a.payload.assign(h + d, h + d + 8);
    archives_.push_back(std::move(a));
    remaining_ = extended ? payload - 8 : payload;
    frameRejects_ = 0;
    frameLen_ = 0;
    frameNeed_ = 0;
    sendStatus(STATUS_LEAD, STATUS_OK, out);
    if (remaining_ == 0) {
        finishArchive();
    } else {
        state_ = ST_DATA;
    }
}

void Core::dataFrameByte(CoreOutput& out) {
    const uint8_t* f = frame_.data();
    if (frameLen_ == 1) {
        if (f[0] != FRAME_LEAD) {
            return discard(STATUS_BAD_LEAD_OR_TYPE, "data frame with lead byte " + hex8(f[0]));
        }
        uint32_t n = archives_.back().blockSize;
        if (n > remaining_) n = remaining_;
        frameNeed_ = n + 4 + (n & 1);
    }
    if (frameLen_ == 2 && f[1] != FRAME_TYPE_DATA) {
        return discard(STATUS_BAD_LEAD_OR_TYPE, "data frame with type byte " + hex8(f[1]));
    }
    if (frameLen_ == frameNeed_) acceptBlock(out);
}

void Core::acceptBlock(CoreOutput& out) {
    const uint8_t* f = frame_.data();
    ArchiveRecord& a = archives_.back();
    size_t sumAt = frameNeed_ - 2;
    uint16_t want = sim_XorSum16(f, sumAt), got = le16(f + sumAt);
    if (want != got) {
        return reject(STATUS_BAD_CHECKSUM,
                      "data block " + std::to_string(a.blocks + 1) + " checksum " + hex16(got) +
                          ", expected " + hex16(want),
                      out);
    }
    if (frameFault((int)a.blocks + 1, out)) return;
    uint32_t n = a.blockSize;
    if (n > remaining_) n = remaining_;
    a.payload.insert(a.payload.end(), f + 2, f + 2 + n);
    a.blocks++;
    remaining_ -= n;
    frameRejects_ = 0;
    frameLen_ = 0;
    frameNeed_ = 0;
    sendStatus(STATUS_LEAD, STATUS_OK, out);
    if (remaining_ == 0) finishArchive();
}

void Core::finishArchive() {
    ArchiveRecord& a = archives_.back();
    a.complete = true;
    a.sha256 = mfutil::sha256Hex(a.payload.data(), a.payload.size());
    lastLoaded_ = (int)archives_.size() - 1;
    state_ = ST_COMMAND;
}

}  // namespace modemsim
