// The simulated modem's protocol core: fed the bytes the host sends, it answers bytes.
//
// It has no I/O of its own. A front end (the pty, or a unit test) feeds it what arrived,
// passes the time, and carries out what it asks for through CoreOutput: write bytes, pause
// (scaled milliseconds: the front end sleeps through the clock service), and, after a mode
// command or a scripted vanish, drop the port and offer it again (takeDrop / rebooted).
//
// What it speaks: "AT\r" and "ATI\r" probes; AT command lines ending in CR LF answered with
// "\r\nOK\r\n" or "\r\nERROR\r\n", echoed until ATE0; in loader mode AT%LOAD, then one
// header frame and the data frames, each answered with two status bytes (AA 01 accepted;
// AA 02 bad checksum, AA 03 wrong lead or type, AA 04 bad header, block size or a frame cut
// short); AT%PROG=2 / =1 program the last loaded archive into the flash store and AT%PROG=0
// checks it. Everything it refuses is also written down as a deviation.
#ifndef MODEMFLASH_SIM_SIM_CORE_H
#define MODEMFLASH_SIM_SIM_CORE_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "scenario.h"

namespace modemsim {

// Status bytes the core answers a frame with.
const uint8_t STATUS_LEAD = 0xAA;
const uint8_t STATUS_OK = 0x01;
const uint8_t STATUS_BAD_CHECKSUM = 0x02;
const uint8_t STATUS_BAD_LEAD_OR_TYPE = 0x03;
const uint8_t STATUS_BAD_HEADER = 0x04;

// A frame with an error the core can only see by its shape (wrong lead, a header it cannot
// size) is taken to end when the host has been quiet this long; then it is rejected.
const int64_t FRAME_GAP_MS = 100;
// A frame of known length that stops arriving this long before its end is rejected as cut
// short. Longer than the gap, so that a host slowed down by a busy machine is not cut off.
const int64_t FRAME_STALL_MS = 500;

// The records of commands and deviations stop growing at these sizes (a host that sends
// garbage for hours must not exhaust memory); the last entry then says so.
const size_t RECORD_MAX_COMMANDS = 100000;
const size_t RECORD_MAX_DEVIATIONS = 10000;

// Rejections of one frame after which the loader gives the archive up, as the host does.
const int FRAME_REJECT_LIMIT = 3;

class CoreOutput {
  public:
    virtual ~CoreOutput() {}
    virtual void write(const uint8_t* data, size_t count) = 0;
    // Pause for ms milliseconds of scaled time before what follows.
    virtual void pause(uint32_t ms) = 0;
    // Pause for ms milliseconds of real time, whatever the scale: the gap between the pieces
    // of an answer must be long enough for the host to read them apart.
    virtual void pauseReal(uint32_t ms) = 0;
};

// The port is to be dropped: names removed, pty closed, then (comeBack) offered again after
// the republish delay (when useRepublishDelay) plus extraDelayMs.
struct DropRequest {
    bool isModeSwitch = false;  // false: a scripted vanish
    int newMode = 0;
    bool comeBack = true;
    bool useRepublishDelay = true;
    uint32_t extraDelayMs = 0;
    bool renumber = false;   // come back as the next tty number (besides the option)
    std::string comeBackAs;  // come back under this tty name ("" as the options say)
};

// One archive the loader received (complete or not).
struct ArchiveRecord {
    int number = 0;               // order of arrival, from 1
    uint32_t id = 0;              // bits 0..23 of the archive ID word
    uint32_t declaredLength = 0;  // the header's own length word
    uint32_t headerLength = 0;    // bytes of header in the header frame (D or D + 8)
    uint32_t payloadSize = 0;     // the header's payload size
    uint32_t blockSize = 0;
    bool extended = false;
    std::vector<uint8_t> payload;  // every archive byte after the declared header length
    uint32_t blocks = 0;           // data frames accepted
    uint32_t rejections = 0;       // frames rejected (header and data)
    bool complete = false;
    bool programmed = false;
    bool signatureChecked = false;
    std::string sha256;  // of payload, set when complete
};

struct CoreConfig {
    int initialMode = 0;
    int initialAutorun = 1;
};

// What the pty front end (modem_sim.h) drives: the scripted modem below, or the player of a
// recorded session (replay_core.h).
class ModemCore {
  public:
    virtual ~ModemCore() {}
    // Takes count received bytes at time nowMs (real milliseconds on any steady scale).
    virtual void feed(const uint8_t* data, size_t count, int64_t nowMs, CoreOutput& out) = 0;
    // Lets time pass without input.
    virtual void tick(int64_t nowMs, CoreOutput& out) = 0;
    // The host has opened the port that is offered now.
    virtual void hostOpened() {}
    // The host closed its side.
    virtual void hostClosed() = 0;
    // A drop the core asked for since the last call; true once per request.
    virtual bool takeDrop(DropRequest* out) = 0;
    // The port is offered again.
    virtual void rebooted() = 0;
    // The port has been dropped for good and the core has nothing more to do.
    virtual bool ended() const { return false; }

    virtual int mode() const = 0;
    virtual int autorun() const = 0;
    // True while the host can only be waiting for an answer that will not come.
    virtual bool withholding() const = 0;
    virtual const std::vector<std::string>& commands() const = 0;
    virtual const std::vector<ArchiveRecord>& archives() const = 0;
    // Programmed contents by archive ID.
    virtual const std::map<uint32_t, std::vector<uint8_t>>& flash() const = 0;
    virtual const std::vector<std::string>& deviations() const = 0;
    // The report as JSON: commands, archives, flash, final mode and autorun, deviations.
    virtual std::string reportJson(const std::string& ttyName, int comNumber) const = 0;
};

class Core : public ModemCore {
  public:
    Core(const CoreConfig& config, const Scenario& scenario);

    void feed(const uint8_t* data, size_t count, int64_t nowMs, CoreOutput& out) override;
    // Rejects a frame the host stopped sending.
    void tick(int64_t nowMs, CoreOutput& out) override;
    // A half-received line or frame is dropped, and a transfer in progress is abandoned.
    void hostClosed() override;
    bool takeDrop(DropRequest* out) override;
    // A fresh start (echo on, no transfer), in the new mode.
    void rebooted() override;

    int mode() const override { return mode_; }
    int autorun() const override { return autorun_; }
    bool echo() const { return echo_; }
    bool isSilent() const { return state_ == ST_SILENT; }
    // The modem went silent, or it ignored what arrived last (a command or a frame) and
    // nothing came since.
    bool withholding() const override { return state_ == ST_SILENT || ignoring_; }
    int switchCount() const { return switches_; }
    const std::vector<std::string>& commands() const override { return commands_; }
    const std::vector<ArchiveRecord>& archives() const override { return archives_; }
    const std::map<uint32_t, std::vector<uint8_t>>& flash() const override { return flash_; }
    const std::vector<std::string>& deviations() const override { return deviations_; }
    std::string reportJson(const std::string& ttyName, int comNumber) const override;

  private:
    enum State { ST_COMMAND, ST_HEADER, ST_DATA, ST_DISCARD, ST_SILENT, ST_DROPPED };

    // Per-command answer shaping chosen by faults.
    struct Shape {
        uint32_t lateMs = 0;
        int pieceSize = 0;  // 0: in one write
        uint32_t pieceGapMs = 0;
    };

    void commandByte(uint8_t b, CoreOutput& out);
    void endLine(CoreOutput& out);
    void runCommand(const std::string& cmd, CoreOutput& out);
    // The commands it understands, as a table (sim_commands.cpp).
    struct Command;
    struct Call;
    static const std::vector<Command>& commandTable();
    void execute(const std::string& cmd, const Shape& shape, CoreOutput& out);
    void answerOk(const Call& call);
    void answerLine(const std::string& line, const Call& call);  // "\r\n" line, then OK
    void startLoad(const Call& call);
    void program(const Call& call);
    void answer(const std::string& text, const Shape& shape, CoreOutput& out);
    void flushEcho(CoreOutput& out);
    void frameByte(uint8_t b, int64_t nowMs, CoreOutput& out);
    void headerFrameByte(CoreOutput& out);
    void dataFrameByte(CoreOutput& out);
    void acceptHeader(CoreOutput& out);
    void acceptBlock(CoreOutput& out);
    bool frameFault(int block, CoreOutput& out);
    void reject(uint8_t code, const std::string& why, CoreOutput& out);
    void discard(uint8_t code, const std::string& why);
    void sendStatus(uint8_t a, uint8_t b, CoreOutput& out);
    void abandonTransfer(const std::string& why);
    void finishArchive();
    void requestSwitch(int mode);
    Fault* findCommandFault(FaultKind kind, const std::string& cmd);
    Fault* findFrameFault(FaultKind kind, int archive, int block);
    static bool useFault(Fault* f);
    void deviation(const std::string& text);
    void recordCommand(const std::string& text);

    Scenario scenario_;
    State state_;
    int mode_;
    int autorun_;
    bool echo_ = true;
    int baud_ = 115200;
    int switches_ = 0;
    int wrongModeLeft_ = 0;  // AT%MODE? answers that still report the scripted wrong mode
    int wrongModeValue_ = 1;

    // Command line being received.
    char line_[256];
    size_t lineLen_ = 0;
    bool lineOverflow_ = false;
    bool afterCr_ = false;
    bool lastLineNeedsLf_ = false;
    uint8_t echoBuf_[256];
    size_t echoLen_ = 0;

    // Frame being received.
    std::vector<uint8_t> frame_;
    size_t frameLen_ = 0;
    size_t frameNeed_ = 0;  // total bytes of the frame once its length is known, else 0
    int64_t lastByteMs_ = 0;
    State discardFrom_ = ST_HEADER;
    uint8_t discardCode_ = STATUS_BAD_HEADER;
    int frameRejects_ = 0;    // rejections of the current frame
    uint32_t remaining_ = 0;  // data bytes the current archive still needs
    int loads_ = 0;           // AT%LOAD commands accepted
    int lastLoaded_ = -1;     // index into archives_ of the last complete archive

    bool ignoring_ = false;  // the last input was ignored on purpose; cleared by new input
    Shape statusShape_;      // how the next frame status goes out (scripted late / pieces)

    bool dropPending_ = false;
    DropRequest drop_;

    std::vector<std::string> commands_;
    std::vector<ArchiveRecord> archives_;
    std::map<uint32_t, std::vector<uint8_t>> flash_;
    std::vector<std::string> deviations_;
};

// Checksums of the frames and the archive header (little-endian words; a trailing partial
// word is ignored).
uint16_t sim_XorSum16(const uint8_t* bytes, size_t length);
uint32_t sim_XorSum32(const uint8_t* bytes, size_t length);

}  // namespace modemsim

#endif
