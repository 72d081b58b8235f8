// The scripted faults of the simulated modem: finding the fault for a command or a frame,
// and what a frame fault does.
#include "sim_core.h"
#include "sim_core_detail.h"

namespace modemsim {

using namespace detail;

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

}  // namespace modemsim
