#include "replay_core.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/clock.h"
#include "util/sha256.h"

namespace modemsim {

namespace {

using session::Json;

const size_t kSearch = 64;     // actions looked at ahead and back for one that matches
const int64_t kGapMs = 100;    // a frame of unknown length ends after this much quiet (real)
const int64_t kStallMs = 500;  // a frame of known length is given up after this (real)

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string joined(const ReplayAction& a) {
    std::string s;
    for (const ReplayPiece& p : a.answer) s += p.bytes;
    return s;
}

int valueAfter(const std::string& text, const char* tag) {
    size_t at = text.find(tag);
    if (at == std::string::npos) return -1;
    at += strlen(tag);
    if (at >= text.size() || !isdigit(static_cast<unsigned char>(text[at]))) return -1;
    return atoi(text.c_str() + at);
}

const char* kindName(session::FrameKind k) {
    return k == session::FRAME_HEADER ? "header" : k == session::FRAME_DATA ? "data" : "other";
}

std::string frameWords(const session::FrameInfo& f) {
    char b[160];
    snprintf(b, sizeof b, "%s frame of %zu bytes, sum 0x%04X", kindName(f.kind), f.length, f.sum);
    std::string s = b;
    if (f.kind == session::FRAME_DATA) s += ", payload sha256 " + f.sha256.substr(0, 16);
    return s;
}

}  // namespace

ReplayCore::ReplayCore(ReplayScript script, bool strict)
    : script_(std::move(script)),
      strict_(strict),
      decoder_(this, true),
      mode_(script_.initialMode),
      autorun_(script_.initialAutorun) {
    opened_.assign(1, false);
}

// ---- what the host sends -------------------------------------------------------------------

void ReplayCore::feed(const uint8_t* data, size_t count, int64_t nowMs, CoreOutput& out) {
    lastInputMs_ = nowMs;
    size_t i = 0;
    while (i < count) {
        if (!decoder_.midAction()) actionStart_ = hostBytes_;
        // A frame's body in one go; everything else a byte at a time, so that every action's
        // offset is exact.
        size_t n = decoder_.frameBytesMissing();
        n = n > 1 ? n - 1 : 1;
        if (n > count - i) n = count - i;
        decoder_.host(data + i, n);
        hostBytes_ += n;
        i += n;
    }
    sendDue(out);
}

void ReplayCore::tick(int64_t nowMs, CoreOutput& out) {
    int64_t quiet = nowMs - lastInputMs_;
    if (decoder_.inFrame() && quiet >= kGapMs) decoder_.hostPause(quiet >= kStallMs);
    sendDue(out);
}

void ReplayCore::onLine(const std::string& text) {
    Observed o;
    o.kind = ReplayAction::LINE;
    o.text = text;
    act(o);
}

void ReplayCore::onFrame(const session::FrameInfo& frame, const std::string& bytes) {
    Observed o;
    o.kind = ReplayAction::FRAME;
    o.frame = frame;
    o.bytes = bytes;
    act(o);
}

bool ReplayCore::same(const ReplayAction& a, const Observed& o) const {
    if (a.kind != o.kind) return false;
    if (a.kind == ReplayAction::LINE) return a.text == o.text;
    const session::FrameInfo &r = a.frame, &h = o.frame;
    if (r.kind != h.kind || r.length != h.length || r.sum != h.sum) return false;
    return r.kind != session::FRAME_DATA || r.sha256 == h.sha256;
}

void ReplayCore::act(const Observed& o) {
    if (ended_) return;
    if (o.kind == ReplayAction::LINE) commands_.push_back(o.text);
    const std::vector<ReplayAction>& A = script_.actions;
    if (cursor_ < A.size() && same(A[cursor_], o)) {
        const ReplayAction& a = A[cursor_++];
        answer(a);
        keepState(a, o);
        planPort(a);
        return;
    }
    for (size_t j = cursor_ + 1; j < A.size() && j <= cursor_ + kSearch; ++j) {
        if (!same(A[j], o)) continue;
        // The host left out what the recording has before it.
        ReplayAction skipped = A[cursor_];
        skipped.text = describe(A[cursor_]) +
                       (j - cursor_ > 1 ? " and " + std::to_string(j - cursor_ - 1) + " more" : "");
        deviate("skipped", &A[cursor_], &o);
        deviations_.back().recorded = skipped.text;
        if (ended_) return;
        cursor_ = j + 1;
        answer(A[j]);
        keepState(A[j], o);
        planPort(A[j]);
        return;
    }
    for (size_t i = cursor_; i-- > 0 && i + kSearch >= cursor_;) {
        if (!same(A[i], o)) continue;
        // A repeat (a resend): answered as the recording answered it the last time.
        deviate("repeated", &A[i], &o);
        if (ended_) return;
        answer(A[i]);
        keepState(A[i], o);
        return;
    }
    if (cursor_ < A.size()) {
        deviate(o.kind == ReplayAction::FRAME || A[cursor_].kind == ReplayAction::FRAME ? "frame"
                                                                                        : "command",
                &A[cursor_], &o);
        if (ended_) return;
        const ReplayAction& a = A[cursor_++];
        answer(a);  // as the modem did at this point
        keepState(a, o);
        planPort(a);
        return;
    }
    deviate("extra", nullptr, &o);
}

// ---- the modem's answers and its port ------------------------------------------------------

void ReplayCore::answer(const ReplayAction& a) {
    current_ = &a;
    int64_t now = clk_NowMs();
    for (const ReplayPiece& p : a.answer) due_.push_back({now + p.afterUs / 1000, p.bytes});
}

void ReplayCore::planPort(const ReplayAction& a) {
    DropRequest d;
    d.comeBack = a.comesBack;
    d.useRepublishDelay = false;
    d.extraDelayMs = a.backAfterUs > 0 ? static_cast<uint32_t>(a.backAfterUs / 1000) : 0;
    d.comeBackAs = a.backAs;
    d.newMode = mode_;
    if (a.vanish) {
        // Just before the host found it gone.
        int64_t after = a.vanishAfterUs / 1000 - 10;
        vanishAtMs_ = clk_NowMs() + (after > 0 ? after : 0);
        vanishDrop_ = d;
        vanishArmed_ = true;
    } else if (a.dropAfterClose) {
        // Once the answer is out: the front end then waits for the host to close the port.
        d.isModeSwitch = true;
        vanishDrop_ = d;
        dropAfterAnswer_ = true;
    }
}

void ReplayCore::sendDue(CoreOutput& out) {
    int64_t now = clk_NowMs();
    while (!due_.empty() && due_.front().atMs <= now) {
        Due d = due_.front();
        due_.pop_front();
        const uint8_t* p = reinterpret_cast<const uint8_t*>(d.bytes.data());
        decoder_.modem(p, d.bytes.size());
        out.write(p, d.bytes.size());
    }
    if (dropAfterAnswer_ && due_.empty()) {
        dropAfterAnswer_ = false;
        drop_ = vanishDrop_;
        dropPending_ = true;
    }
    if (vanishArmed_ && now >= vanishAtMs_) {
        vanishArmed_ = false;
        due_.clear();
        drop_ = vanishDrop_;
        dropPending_ = true;
    }
}

void ReplayCore::hostOpened() {
    if (publication_ >= 0 && static_cast<size_t>(publication_) < opened_.size())
        opened_[static_cast<size_t>(publication_)] = true;
}

void ReplayCore::hostClosed() {
    decoder_.reset();
}

bool ReplayCore::takeDrop(DropRequest* out) {
    if (!dropPending_) return false;
    *out = drop_;
    dropPending_ = false;
    if (!out->comeBack) ended_ = true;
    return true;
}

void ReplayCore::rebooted() {
    decoder_.reset();
    due_.clear();
    ++publication_;
    opened_.push_back(false);
}

bool ReplayCore::withholding() const {
    return !ended_ && due_.empty() && !dropPending_ && !vanishArmed_ && !dropAfterAnswer_ &&
           current_ != nullptr && !current_->answered;
}

// ---- deviations and state --------------------------------------------------------------------

std::string ReplayCore::describe(const ReplayAction& a) {
    if (a.kind == ReplayAction::LINE) return "command " + a.text;
    return frameWords(a.frame);
}

std::string ReplayCore::describe(const Observed& o) {
    if (o.kind == ReplayAction::LINE) return "command " + o.text;
    return frameWords(o.frame);
}

void ReplayCore::deviate(const std::string& kind, const ReplayAction* recorded,
                         const Observed* host) {
    ReplayDeviation d;
    d.kind = kind;
    d.offset = actionStart_;
    if (recorded) {
        d.line = recorded->line;
        d.recordedOffset = recorded->offset;
        d.recorded = describe(*recorded);
    }
    if (host) d.host = describe(*host);
    deviations_.push_back(d);
    char b[64];
    snprintf(b, sizeof b, " at byte %llu", static_cast<unsigned long long>(d.offset));
    deviationTexts_.push_back(
        kind + b + ": the host sent " + (d.host.empty() ? "nothing" : d.host) +
        (d.recorded.empty() ? ""
                            : "; recorded (line " + std::to_string(d.line) + "): " + d.recorded));
    if (strict_) {
        ended_ = true;
        due_.clear();
        drop_ = DropRequest();
        drop_.comeBack = false;
        drop_.useRepublishDelay = false;
        dropPending_ = true;
    }
}

void ReplayCore::keepState(const ReplayAction& a, const Observed& o) {
    const std::string answer = joined(a);
    if (o.kind == ReplayAction::LINE) {
        const std::string u = upper(o.text);
        bool ok = answer.find("\r\nOK\r\n") != std::string::npos;
        if (u.compare(0, 8, "AT%MODE=") == 0 && ok && u.size() > 8) mode_ = atoi(u.c_str() + 8);
        if (u.compare(0, 12, "AT%USBMODEM=") == 0 && ok && u.size() > 12)
            autorun_ = atoi(u.c_str() + 12);
        if (u == "AT%USBMODEM?" && valueAfter(answer, "%USBMODEM: ") >= 0)
            autorun_ = valueAfter(answer, "%USBMODEM: ");
        if (u == "AT%LOAD" && ok) lastComplete_ = -1;  // a new load replaces the last one
        if ((u == "AT%PROG=2" || u == "AT%PROG=1") && ok && lastComplete_ >= 0) {
            ArchiveRecord& r = archives_[static_cast<size_t>(lastComplete_)];
            flash_[r.id] = r.payload;
            r.programmed = true;
        }
        if (u == "AT%PROG=0" && ok && lastComplete_ >= 0)
            archives_[static_cast<size_t>(lastComplete_)].signatureChecked = true;
        return;
    }
    bool accepted = answer.size() >= 2 && static_cast<unsigned char>(answer[0]) == 0xAA &&
                    static_cast<unsigned char>(answer[1]) == 0x01;
    const session::FrameInfo& f = o.frame;
    if (f.kind == session::FRAME_HEADER && accepted && f.headerLength > 0) {
        ArchiveRecord r;
        r.number = static_cast<int>(archives_.size()) + 1;
        r.id = f.archiveId;
        r.headerLength = f.headerLength;
        r.payloadSize = f.payloadSize;
        r.blockSize = f.blockSize;
        r.extended = f.extended;
        if (f.extended && o.bytes.size() >= 4 + 24 + 8)
            r.payload.assign(o.bytes.begin() + 4 + (f.headerLength - 8),
                             o.bytes.begin() + 4 + f.headerLength);
        remaining_ = f.extended ? f.payloadSize - 8 : f.payloadSize;
        archives_.push_back(std::move(r));
        if (remaining_ == 0) {
            ArchiveRecord& done = archives_.back();
            done.complete = true;
            done.sha256 = mfutil::sha256Hex(done.payload.data(), done.payload.size());
            lastComplete_ = static_cast<int>(archives_.size()) - 1;
        }
    } else if (f.kind == session::FRAME_DATA && !archives_.empty() && !archives_.back().complete) {
        ArchiveRecord& r = archives_.back();
        if (!accepted) {
            ++r.rejections;
            return;
        }
        size_t n = f.payload;
        if (o.bytes.size() >= 2 + n)
            r.payload.insert(r.payload.end(), o.bytes.begin() + 2,
                             o.bytes.begin() + 2 + static_cast<std::ptrdiff_t>(n));
        ++r.blocks;
        remaining_ = n >= remaining_ ? 0 : remaining_ - static_cast<uint32_t>(n);
        if (remaining_ == 0) {
            r.complete = true;
            r.sha256 = mfutil::sha256Hex(r.payload.data(), r.payload.size());
            lastComplete_ = static_cast<int>(archives_.size()) - 1;
        }
    }
}

std::string ReplayCore::reportJson(const std::string& ttyName, int comNumber) const {
    Json o;
    o["tty"] = ttyName;
    o["com"] = comNumber;
    o["mode"] = mode_;
    o["autorun"] = autorun_;
    o["commands"] = commands_;
    o["archives"] = Json::array();
    for (const ArchiveRecord& a : archives_) {
        Json r;
        r["id"] = a.id;
        r["size"] = a.payload.size();
        r["sha256"] = a.complete ? a.sha256 : "";
        r["complete"] = a.complete;
        r["programmed"] = a.programmed;
        r["signature_checked"] = a.signatureChecked;
        r["header_length"] = a.headerLength;
        r["blocks"] = a.blocks;
        r["rejections"] = a.rejections;
        o["archives"].push_back(r);
    }
    o["flash"] = Json::array();
    for (const auto& kv : flash_) {
        Json f;
        f["id"] = kv.first;
        f["size"] = kv.second.size();
        f["sha256"] = mfutil::sha256Hex(kv.second.data(), kv.second.size());
        o["flash"].push_back(f);
    }
    // Every deviation of the host from the recording, and what the host never did.
    std::vector<ReplayDeviation> all = deviations_;
    std::vector<std::string> texts = deviationTexts_;
    // (A strict session that ended at a deviation owes nothing more.)
    for (int p = 0; p < script_.publications && !(strict_ && ended_); ++p) {
        bool offered = p <= publication_;
        if (offered && opened_[static_cast<size_t>(p)]) continue;
        ReplayDeviation d;
        d.kind = "missing open";
        d.offset = hostBytes_;
        d.recorded = "the port's appearance " + std::to_string(p + 1) + " was opened";
        d.host = offered ? "never opened it" : "never got it offered (it stopped before)";
        all.push_back(d);
        texts.push_back("missing open: " + d.recorded + "; the host " + d.host);
    }
    if (cursor_ < script_.actions.size() && !strict_) {
        const ReplayAction& a = script_.actions[cursor_];
        ReplayDeviation d;
        d.kind = "unfinished";
        d.line = a.line;
        d.offset = hostBytes_;
        d.recordedOffset = a.offset;
        d.recorded =
            describe(a) + " and " + std::to_string(script_.actions.size() - cursor_ - 1) + " more";
        d.host = "stopped before";
        all.push_back(d);
        texts.push_back("unfinished: the host stopped before " + d.recorded + " (line " +
                        std::to_string(a.line) + ")");
    }
    o["deviations"] = texts;
    Json r;
    r["actions"] = script_.actions.size();
    r["followed"] = cursor_;
    r["strict"] = strict_;
    r["ended"] = ended_;
    r["recorded_result"] = script_.result;
    r["deviations"] = Json::array();
    for (const ReplayDeviation& d : all) {
        Json j;
        j["kind"] = d.kind;
        j["line"] = d.line;
        j["offset"] = d.offset;
        j["recorded_offset"] = d.recordedOffset;
        j["recorded"] = d.recorded;
        j["host"] = d.host;
        r["deviations"].push_back(j);
    }
    o["replay"] = r;
    return o.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

ReplayOutcome replay_Outcome(const std::string& reportJson) {
    ReplayOutcome out;
    Json j = Json::parse(reportJson, nullptr, false);
    if (!j.is_object() || !j.contains("replay") || !j["replay"].is_object()) return out;
    const Json& r = j["replay"];
    if (r.contains("actions") && r["actions"].is_number()) out.actions = r["actions"];
    if (r.contains("followed") && r["followed"].is_number()) out.followed = r["followed"];
    if (r.contains("deviations") && r["deviations"].is_array())
        out.deviations = r["deviations"].size();
    return out;
}

}  // namespace modemsim
