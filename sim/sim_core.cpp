// The simulated modem's command interpreter, loader and flash store.
#include "sim_core.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "util/sha256.h"

namespace modemsim {
namespace {

const uint32_t WRAPPED_MAGIC = 0x1CE8040A;
const uint32_t HEADER_MAX = 160;
const uint32_t EXTENDED_MAX = 152;  // the extended form must still fit HEADER_MAX
const uint8_t FRAME_LEAD = 0xAA;
const uint8_t FRAME_TYPE_HEADER = 0x73;
const uint8_t FRAME_TYPE_DATA = 0x00;
const size_t FRAME_MAX = 65534 + 5;

uint16_t le16(const uint8_t* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A header field at offset off of a header of length len; zero where the header is shorter.
uint32_t headerWord(const uint8_t* header, uint32_t len, uint32_t off) {
    uint8_t w[4] = {0, 0, 0, 0};
    for (uint32_t i = 0; i < 4; ++i) {
        if (off + i < len) w[i] = header[off + i];
    }
    return le32(w);
}

std::string hex8(unsigned v) {
    char b[8];
    snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

std::string hex16(unsigned v) {
    char b[16];
    snprintf(b, sizeof b, "0x%04X", v & 0xFFFF);
    return b;
}

std::string upper(const std::string& s) {
    std::string u(s);
    for (char& c : u) c = (char)toupper((unsigned char)c);
    return u;
}

// A command's text as it goes into the record: printable, with other bytes as \xHH.
std::string printable(const char* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)p[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            s += (char)c;
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return s;
}

// A decimal number of at most 9 digits, the whole text.
bool parseNumber(const std::string& s, int* out) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s) {
        if (!isdigit((unsigned char)c)) return false;
    }
    *out = atoi(s.c_str());
    return true;
}

bool validBaud(int b) {
    static const int rates[] = {9600,   19200,  38400,   57600,   115200,  230400,
                                460800, 921600, 1000000, 2000000, 3000000, 4000000};
    for (int r : rates) {
        if (r == b) return true;
    }
    return false;
}

std::string jsonString(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += (char)c;
        } else if (c < 0x20 || c >= 0x7F) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += (char)c;
        }
    }
    return o + "\"";
}

const char* const OK = "\r\nOK\r\n";
const char* const ERROR_TEXT = "\r\nERROR\r\n";

}  // namespace

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

void Core::deviation(const std::string& text) {
    if (deviations_.size() < RECORD_MAX_DEVIATIONS) {
        deviations_.push_back(text);
    } else if (deviations_.size() == RECORD_MAX_DEVIATIONS) {
        deviations_.push_back("(further deviations not recorded)");
    }
}

void Core::recordCommand(const std::string& text) {
    if (commands_.size() < RECORD_MAX_COMMANDS) {
        commands_.push_back(text);
    } else if (commands_.size() == RECORD_MAX_COMMANDS) {
        commands_.push_back("(further commands not recorded)");
    }
}

bool Core::useFault(Fault* f) {
    if (f == nullptr) return false;
    if (f->times == FAULT_ALWAYS) return true;
    if (f->times <= 0) return false;
    --f->times;
    return true;
}

Fault* Core::findCommandFault(FaultKind kind, const std::string& cmd) {
    for (Fault& f : scenario_.faults) {
        if (f.kind == kind && !f.command.empty() && f.times != 0 &&
            scenario_CommandMatches(f.command, cmd)) {
            return &f;
        }
    }
    return nullptr;
}

Fault* Core::findFrameFault(FaultKind kind, int archive, int block) {
    for (Fault& f : scenario_.faults) {
        if (f.kind == kind && f.command.empty() && f.times != 0 && f.archive == archive &&
            f.block == block) {
            return &f;
        }
    }
    return nullptr;
}

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

void Core::runCommand(const std::string& cmd, CoreOutput& out) {
    if (useFault(findCommandFault(FAULT_SILENT, cmd))) {
        state_ = ST_SILENT;
        return;
    }
    Fault* v = findCommandFault(FAULT_VANISH, cmd);
    if (useFault(v)) {
        dropPending_ = true;
        drop_ = DropRequest();
        drop_.newMode = mode_;
        drop_.comeBack = v->hasReturn;
        drop_.useRepublishDelay = false;
        drop_.extraDelayMs = v->ms;
        state_ = ST_DROPPED;
        return;
    }
    if (useFault(findCommandFault(FAULT_IGNORE, cmd))) {
        ignoring_ = true;
        return;
    }
    Shape shape;
    Fault* late = findCommandFault(FAULT_LATE, cmd);
    if (useFault(late)) shape.lateMs = late->ms;
    Fault* pieces = findCommandFault(FAULT_PIECES, cmd);
    if (useFault(pieces)) {
        shape.pieceSize = pieces->size;
        shape.pieceGapMs = pieces->gapMs;
    }
    if (useFault(findCommandFault(FAULT_REFUSE, cmd))) {
        answer(ERROR_TEXT, shape, out);
        return;
    }
    execute(cmd, shape, out);
}

void Core::answer(const std::string& text, const Shape& shape, CoreOutput& out) {
    if (shape.lateMs > 0) out.pause(shape.lateMs);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
    if (shape.pieceSize <= 0) {
        out.write(p, text.size());
        return;
    }
    for (size_t off = 0; off < text.size(); off += (size_t)shape.pieceSize) {
        if (off > 0) out.pauseReal(shape.pieceGapMs);
        size_t n = text.size() - off;
        if (n > (size_t)shape.pieceSize) n = (size_t)shape.pieceSize;
        out.write(p + off, n);
    }
}

void Core::execute(const std::string& cmd, const Shape& shape, CoreOutput& out) {
    std::string name = cmd, arg;
    bool query = false, set = false;
    size_t eq = cmd.find('=');
    if (eq != std::string::npos) {
        name = cmd.substr(0, eq);
        arg = cmd.substr(eq + 1);
        set = true;
    } else if (cmd.size() > 2 && cmd.back() == '?') {
        name = cmd.substr(0, cmd.size() - 1);
        query = true;
    }
    int n = 0;
    bool plain = !set && !query;
    if (plain && (name == "AT" || name == "ATZ")) return answer(OK, shape, out);
    if (plain && name == "ATI") {
        return answer(
            "\r\nSimulated Modems Inc\r\nSimulated Cellular Modem\r\nRevision: SIM1.0\r\n" +
                std::string(OK),
            shape, out);
    }
    if (plain && (name == "ATE0" || name == "ATE")) {
        echo_ = false;
        return answer(OK, shape, out);
    }
    if (plain && name == "ATE1") {
        echo_ = true;
        return answer(OK, shape, out);
    }
    if (plain && name == "AT+GMR")
        return answer("\r\nSIM_1.0.0 [2026-01-01]\r\n" + std::string(OK), shape, out);
    if (plain && name == "AT%IFWR") {
        return answer("\r\n%IFWR: BT2 1.0.0, LDR 1.0.0, MDM 1.0.0\r\n" + std::string(OK), shape,
                      out);
    }
    if (plain && name == "AT%ICOMPAT")
        return answer("\r\n%ICOMPAT: 1\r\n" + std::string(OK), shape, out);
    if (plain && name == "AT%IFLIST") {
        return answer("\r\n%IFLIST: MDM,BT2,IFT,LDR,IMEI,CUSTCFG,ZEROCD,MASS,AUDIOCFG,COMPAT\r\n" +
                          std::string(OK),
                      shape, out);
    }
    if (plain && name == "AT%CHIPID") {
        return answer("\r\n%CHIPID: 0x51A0C0DE 0x00000001\r\n" + std::string(OK), shape, out);
    }
    if (set && name == "AT%DEBUG" && parseNumber(arg, &n) && n <= 255)
        return answer(OK, shape, out);
    if (query && name == "AT%MODE") {
        int reported = mode_;
        if (wrongModeLeft_ != 0 && mode_ == 0) {
            reported = wrongModeValue_;
            if (wrongModeLeft_ > 0) --wrongModeLeft_;
        }
        return answer("\r\n%MODE: " + std::to_string(reported) + "\r\n" + OK, shape, out);
    }
    if (set && name == "AT%MODE" && parseNumber(arg, &n) && (n == 0 || n == 1)) {
        answer(OK, shape, out);
        requestSwitch(n);
        return;
    }
    if (query && name == "AT+IPR") {
        return answer("\r\n+IPR: " + std::to_string(baud_) + "\r\n" + OK, shape, out);
    }
    if (set && name == "AT+IPR" && parseNumber(arg, &n) && validBaud(n)) {
        baud_ = n;
        return answer(OK, shape, out);
    }
    if (query && name == "AT%USBMODEM") {
        return answer("\r\n%USBMODEM: " + std::to_string(autorun_) + "\r\n" + OK, shape, out);
    }
    if (set && name == "AT%USBMODEM" && parseNumber(arg, &n) && (n == 0 || n == 1)) {
        bool stuck = false;
        for (const Fault& f : scenario_.faults) {
            if (f.kind == FAULT_AUTORUN_STUCK) stuck = true;
        }
        autorun_ = (stuck && n == 1) ? 0 : n;
        return answer(OK, shape, out);
    }
    if (plain && name == "AT%LOAD") {
        if (mode_ != 1) {
            deviation("AT%LOAD in modem mode");
            return answer(ERROR_TEXT, shape, out);
        }
        answer(OK, shape, out);
        ++loads_;
        // A new load replaces the last one, even if it fails: AT%PROG never programs an
        // older archive by mistake.
        lastLoaded_ = -1;
        state_ = ST_HEADER;
        frameLen_ = 0;
        frameNeed_ = 0;
        frameRejects_ = 0;
        return;
    }
    if (set && name == "AT%PROG" && parseNumber(arg, &n) && n <= 2) {
        if (mode_ != 1) {
            deviation(cmd + " in modem mode");
            return answer(ERROR_TEXT, shape, out);
        }
        if (lastLoaded_ < 0) {
            deviation(cmd + " with no archive loaded");
            return answer(ERROR_TEXT, shape, out);
        }
        ArchiveRecord& a = archives_[(size_t)lastLoaded_];
        if (n == 0) {
            a.signatureChecked = true;
            return answer(OK, shape, out);
        }
        for (const Fault& f : scenario_.faults) {
            if (f.kind == FAULT_PROG_TIME) out.pause(f.ms);
        }
        flash_[a.id] = a.payload;
        a.programmed = true;
        return answer(OK, shape, out);
    }
    deviation("unknown or unusable command [" + cmd + "]");
    answer(ERROR_TEXT, shape, out);
}

void Core::requestSwitch(int newMode) {
    ++switches_;
    DropRequest d;
    d.isModeSwitch = true;
    d.newMode = newMode;
    for (const Fault& f : scenario_.faults) {
        bool applies = f.switchNo == 0 || f.switchNo == switches_;
        if (!applies) continue;
        if (f.kind == FAULT_RETURN_LATE) d.extraDelayMs += f.ms;
        if (f.kind == FAULT_NEVER_RETURN) d.comeBack = false;
        if (f.kind == FAULT_RENUMBER) d.renumber = true;
    }
    if (newMode == 0 && mode_ == 1) {
        for (const Fault& f : scenario_.faults) {
            if (f.kind == FAULT_WRONG_MODE) {
                wrongModeLeft_ = f.times;
                wrongModeValue_ = f.value;
            }
        }
    }
    mode_ = newMode;
    drop_ = d;
    dropPending_ = true;
    state_ = ST_DROPPED;
}

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

// Scripted faults on the header frame (block 0) or a data block of the current archive.
// True when the frame has been dealt with (rejected, or the modem went away or silent).
bool Core::frameFault(int block, CoreOutput& out) {
    if (useFault(findFrameFault(FAULT_SILENT, loads_, block))) {
        state_ = ST_SILENT;
        return true;
    }
    Fault* v = findFrameFault(FAULT_VANISH, loads_, block);
    if (useFault(v)) {
        abandonTransfer("vanished during the transfer (scripted)");
        dropPending_ = true;
        drop_ = DropRequest();
        drop_.newMode = mode_;
        drop_.comeBack = v->hasReturn;
        drop_.useRepublishDelay = false;
        drop_.extraDelayMs = v->ms;
        state_ = ST_DROPPED;
        return true;
    }
    if (useFault(findFrameFault(FAULT_IGNORE, loads_, block))) {
        // The frame is dropped without a status; the loader waits for it again.
        frameLen_ = 0;
        frameNeed_ = 0;
        ignoring_ = true;
        return true;
    }
    Fault* late = findFrameFault(FAULT_LATE, loads_, block);
    if (useFault(late)) statusShape_.lateMs = late->ms;
    Fault* pieces = findFrameFault(FAULT_PIECES, loads_, block);
    if (useFault(pieces)) {
        statusShape_.pieceSize = 1;
        statusShape_.pieceGapMs = pieces->gapMs;
    }
    Fault* r = findFrameFault(block == 0 ? FAULT_REJECT_HEADER : FAULT_REJECT_BLOCK, loads_, block);
    if (!useFault(r)) return false;
    if (!archives_.empty() && block > 0) archives_.back().rejections++;
    sendStatus(r->status[0], r->status[1], out);
    if (!r->after.empty()) out.write(r->after.data(), r->after.size());
    frameLen_ = 0;
    frameNeed_ = 0;
    // A scripted rejection followed by AA 01 is one the host will count as accepted; the
    // modem keeps waiting for the same block, as a real one would.
    if (++frameRejects_ >= FRAME_REJECT_LIMIT) {
        abandonTransfer("transfer given up after 3 rejections of one frame");
    }
    return true;
}

void Core::finishArchive() {
    ArchiveRecord& a = archives_.back();
    a.complete = true;
    a.sha256 = mfutil::sha256Hex(a.payload.data(), a.payload.size());
    lastLoaded_ = (int)archives_.size() - 1;
    state_ = ST_COMMAND;
}

// ---- report -----------------------------------------------------------------------------

std::string Core::reportJson(const std::string& ttyName, int comNumber) const {
    std::string o = "{\n  \"tty\": " + jsonString(ttyName) +
                    ",\n  \"com\": " + std::to_string(comNumber) +
                    ",\n  \"mode\": " + std::to_string(mode_) +
                    ",\n  \"autorun\": " + std::to_string(autorun_) +
                    ",\n  \"switches\": " + std::to_string(switches_) + ",\n  \"commands\": [";
    for (size_t i = 0; i < commands_.size(); ++i) {
        o += (i ? ", " : "") + jsonString(commands_[i]);
    }
    o += "],\n  \"archives\": [";
    for (size_t i = 0; i < archives_.size(); ++i) {
        const ArchiveRecord& a = archives_[i];
        o += std::string(i ? "," : "") + "\n    {\"id\": " + std::to_string(a.id) +
             ", \"size\": " + std::to_string(a.payload.size()) +
             ", \"sha256\": " + jsonString(a.complete ? a.sha256 : "") +
             ", \"complete\": " + (a.complete ? "true" : "false") +
             ", \"programmed\": " + (a.programmed ? "true" : "false") +
             ", \"signature_checked\": " + (a.signatureChecked ? "true" : "false") +
             ", \"header_length\": " + std::to_string(a.headerLength) +
             ", \"blocks\": " + std::to_string(a.blocks) +
             ", \"rejections\": " + std::to_string(a.rejections) + "}";
    }
    o += archives_.empty() ? "],\n" : "\n  ],\n";
    o += "  \"flash\": [";
    bool first = true;
    for (const auto& kv : flash_) {
        o += std::string(first ? "" : ",") + "\n    {\"id\": " + std::to_string(kv.first) +
             ", \"size\": " + std::to_string(kv.second.size()) +
             ", \"sha256\": " + jsonString(mfutil::sha256Hex(kv.second.data(), kv.second.size())) +
             "}";
        first = false;
    }
    o += flash_.empty() ? "],\n" : "\n  ],\n";
    o += "  \"deviations\": [";
    for (size_t i = 0; i < deviations_.size(); ++i) {
        o += std::string(i ? "," : "") + "\n    " + jsonString(deviations_[i]);
    }
    o += deviations_.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return o;
}

}  // namespace modemsim
