// The modem played back from a recorded session: it answers each of the host's command lines
// and frames as the recording says the modem did, drops and offers its port again where the
// recording shows it went away and came back, and writes down every place where the host does
// other than the recorded host did.
//
// Matching. Each action of the host (a command line, a frame) is compared with the next one
// the recording expects: a line by its text, a frame by its kind, length, checksum and (data
// frames) payload hash. When they differ the player looks ahead (the host left out what the
// recording has) and back (the host repeated something: a resent frame is answered as the
// recorded resend was) for the same action; failing both it answers as the modem did at that
// point and goes on. Strict: the first deviation ends the session (the port goes away for good).
//
// The modem's state is kept from what passed, as the scripted modem keeps it: its mode after
// each mode command the recording answered OK, its autorun setting, the archives whose frames
// were accepted and the ones programmed (their payload is what the host sent now), so that a
// report compares with the recorded modem's.
#ifndef MODEMFLASH_SIM_REPLAY_CORE_H
#define MODEMFLASH_SIM_REPLAY_CORE_H

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "replay_script.h"
#include "session/wire_decoder.h"
#include "sim_core.h"

namespace modemsim {

// One place where the host did other than the recording.
struct ReplayDeviation {
    std::string kind;     // "command", "frame", "skipped", "repeated", "missing open", "extra"
    int64_t line = 0;     // the session line of the recorded side (0: none)
    uint64_t offset = 0;  // bytes the host had sent before it, in this run
    uint64_t recordedOffset = 0;  // the same in the recording
    std::string recorded;         // what the recording has there
    std::string host;             // what the host did
};

class ReplayCore : public ModemCore, private session::WireDecoder::Listener {
  public:
    ReplayCore(ReplayScript script, bool strict);

    void feed(const uint8_t* data, size_t count, int64_t nowMs, CoreOutput& out) override;
    void tick(int64_t nowMs, CoreOutput& out) override;
    void hostOpened() override;
    void hostClosed() override;
    bool takeDrop(DropRequest* out) override;
    void rebooted() override;
    bool ended() const override { return ended_; }

    int mode() const override { return mode_; }
    int autorun() const override { return autorun_; }
    bool withholding() const override;
    const std::vector<std::string>& commands() const override { return commands_; }
    const std::vector<ArchiveRecord>& archives() const override { return archives_; }
    const std::map<uint32_t, std::vector<uint8_t>>& flash() const override { return flash_; }
    // The deviations in words (the report's "deviations").
    const std::vector<std::string>& deviations() const override { return deviationTexts_; }
    std::string reportJson(const std::string& ttyName, int comNumber) const override;

    const std::vector<ReplayDeviation>& replayDeviations() const { return deviations_; }
    // Recorded actions the host has gone through (matched, skipped or answered in place).
    size_t followed() const { return cursor_; }
    size_t recordedActions() const { return script_.actions.size(); }

  private:
    struct Observed {
        ReplayAction::Kind kind;
        std::string text;
        session::FrameInfo frame;
        std::string bytes;  // a frame's bytes
    };
    void onLine(const std::string& text) override;
    void onFrame(const session::FrameInfo& frame, const std::string& bytes) override;
    void act(const Observed& o);
    bool same(const ReplayAction& a, const Observed& o) const;
    void answer(const ReplayAction& a);
    void planPort(const ReplayAction& a);
    void sendDue(CoreOutput& out);
    void deviate(const std::string& kind, const ReplayAction* recorded, const Observed* host);
    void keepState(const ReplayAction& a, const Observed& o);
    static std::string describe(const ReplayAction& a);
    static std::string describe(const Observed& o);

    ReplayScript script_;
    bool strict_;
    session::WireDecoder decoder_;
    size_t cursor_ = 0;         // the next recorded action expected
    uint64_t hostBytes_ = 0;    // bytes the host has sent in this run
    uint64_t actionStart_ = 0;  // hostBytes_ where the action being received began
    bool actionStarted_ = false;
    int64_t lastInputMs_ = 0;
    struct Due {
        int64_t atMs;  // scaled clock
        std::string bytes;
    };
    std::deque<Due> due_;
    const ReplayAction* current_ = nullptr;  // the recorded action answered last
    // The port.
    bool dropPending_ = false;
    DropRequest drop_;
    bool dropAfterAnswer_ = false;  // drop once the answer is out (a mode command's)
    bool vanishArmed_ = false;
    int64_t vanishAtMs_ = 0;
    DropRequest vanishDrop_;
    int publication_ = 0;
    std::vector<bool> opened_;  // per appearance of the port: the host opened it
    bool ended_ = false;
    // The modem's state.
    int mode_;
    int autorun_;
    std::vector<std::string> commands_;
    std::vector<ArchiveRecord> archives_;
    std::map<uint32_t, std::vector<uint8_t>> flash_;
    int lastComplete_ = -1;
    uint32_t remaining_ = 0;
    std::vector<ReplayDeviation> deviations_;
    std::vector<std::string> deviationTexts_;
};

// What a player's report (ReplayCore::reportJson) says of the replay.
struct ReplayOutcome {
    size_t actions = 0, followed = 0, deviations = 0;
};
ReplayOutcome replay_Outcome(const std::string& reportJson);

}  // namespace modemsim

#endif
