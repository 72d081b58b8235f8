// A recorded session (src/session) turned into what the modem has to do when it plays the
// session back: the host's actions in order (command lines and frames), each with the bytes the
// modem answered and when, and what became of the port after it (dropped when the host closed
// it, vanished while open, and when and under which name it came back).
//
// Times are microseconds of the scaled clock. An answer's bytes are offered as early as the
// recording allows: the host read them at some moment after the modem sent them, so each piece
// is sent once the host had read the one before it (the first at once).
#ifndef MODEMFLASH_SIM_REPLAY_SCRIPT_H
#define MODEMFLASH_SIM_REPLAY_SCRIPT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "session/session_reader.h"
#include "session/wire_decoder.h"

namespace modemsim {

struct ReplayPiece {
    int64_t afterUs = 0;  // after the action, when the modem may send it
    std::string bytes;
};

struct ReplayAction {
    enum Kind { LINE, FRAME };
    Kind kind = LINE;
    std::string text;          // LINE: the command line without its end
    session::FrameInfo frame;  // FRAME: as the recorder summed it up
    int64_t t = 0;             // when the host sent it
    int64_t line = 0;          // its line in the session file
    uint64_t offset = 0;       // bytes the host had sent before the write that held it
    std::vector<ReplayPiece> answer;
    bool answered = false;  // the answer ends as the host expects (OK, ERROR, a status)
    // What became of the port after it, before the next action:
    bool dropAfterClose = false;  // the host closed the port and the modem went away
    bool vanish = false;          // the port went away while the host had it open
    int64_t vanishAfterUs = 0;    // after the action
    bool comesBack = false;       // (either way) the port was offered again
    int64_t backAfterUs = 0;      // after the drop: soon after the host last found it away
    std::string backAs;           // under this tty name
    int publication = 0;          // the port's appearance it happened on, from 0
};

struct ReplayScript {
    std::vector<ReplayAction> actions;
    std::string location, serial;     // where the modem was plugged in ("" when not recorded)
    std::string ttyName = "ttyACM0";  // the port it was first found on
    int initialMode = 0;
    int initialAutorun = 1;
    int publications = 1;               // appearances of the port the host opened
    int result = -1;                    // the recorded update's result code (-1 none)
    std::vector<std::string> commands;  // every command line the host sent, in order
};

// The tty name a COM name stands for (COM65 -> ttyACM0, COM33 -> ttyUSB0, COM1 -> ttyS0); a
// path gives its last part.
std::string replay_TtyOf(const std::string& port);

// False with a reason (and the session's line) when the session cannot be played: it holds
// no command the host sent.
bool replay_BuildScript(const session::Session& s, ReplayScript* out, std::string* error);

}  // namespace modemsim

#endif
