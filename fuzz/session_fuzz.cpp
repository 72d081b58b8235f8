// Fuzz target: a session file as modemsim --replay and modemflash replay read it.
//
// The input is the file's bytes (plain, gzip or zstd): it is decoded, checked line by line
// (strictly, and as --partial reads it), and a session that is accepted is turned into its
// timeline and into the player's script. With a first byte of 0xFF the rest is instead taken
// apart by the protocol decoder, alternating host and modem bytes at each 0xFE. Nothing may
// crash, read out of bounds or grow without bound; a refusal must name its line.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "replay_script.h"
#include "session/session_reader.h"
#include "session/session_timeline.h"
#include "session/wire_decoder.h"

namespace {

struct Quiet : session::WireDecoder::Listener {
    size_t seen = 0;
    void onLine(const std::string& t) override { seen += t.size(); }
    void onFrame(const session::FrameInfo& f, const std::string& b) override {
        if (!b.empty() && b.size() != f.length) abort();
        seen += f.length;
    }
};

void decodeWire(const uint8_t* data, size_t size) {
    Quiet q;
    session::WireDecoder d(&q, true);
    bool host = true;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0xFE) continue;
        if (host)
            d.host(data + start, i - start);
        else
            d.modem(data + start, i - start);
        if (i < size && i + 1 < size && data[i + 1] == 0xFE) d.hostPause(true);
        host = !host;
        start = i + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0 && data[0] == 0xFF) {
        decodeWire(data + 1, size - 1);
        return 0;
    }
    std::string bytes(reinterpret_cast<const char*>(data), size);
    session::SessionText text;
    std::string error;
    // A bound that a small input can reach, so that the limit itself is tried.
    if (!session::decodeSessionText(bytes, &text, &error, size_t(1) << 22)) return 0;
    for (bool partial : {false, true}) {
        session::ReadOptions o;
        o.allowPartial = partial;
        session::Session s;
        session::SessionProblem p;
        if (!session::parseSession(text, o, &s, &p)) {
            if (p.what.empty()) abort();  // a refusal says why
            continue;
        }
        std::vector<session::TimelineEntry> t = session::session_Timeline(s);
        (void)session::session_Describe(s);
        modemsim::ReplayScript script;
        (void)modemsim::replay_BuildScript(s, &script, &error);
    }
    return 0;
}
