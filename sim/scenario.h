// Scripted faults of the simulated modem: what they are and how a scenario text is read.
//
// A scenario is text, one fault a line; scenario_HelpText() describes the format (it is
// what modemsim --help prints).
#ifndef MODEMFLASH_SIM_SCENARIO_H
#define MODEMFLASH_SIM_SCENARIO_H

#include <stdint.h>

#include <string>
#include <vector>

namespace modemsim {

enum FaultKind {
    FAULT_REFUSE,
    FAULT_IGNORE,
    FAULT_LATE,
    FAULT_PIECES,
    FAULT_REJECT_HEADER,
    FAULT_REJECT_BLOCK,
    FAULT_SILENT,
    FAULT_VANISH,
    FAULT_RETURN_LATE,
    FAULT_NEVER_RETURN,
    FAULT_RENUMBER,
    FAULT_WRONG_MODE,
    FAULT_AUTORUN_STUCK,
    FAULT_PROG_TIME
};

// Times value meaning "every match".
const int FAULT_ALWAYS = -1;

struct Fault {
    FaultKind kind = FAULT_REFUSE;
    std::string command;     // upper-case pattern, empty for frame faults
    int times = 1;           // remaining uses, or FAULT_ALWAYS
    uint32_t ms = 0;         // late / return-late / prog-time / vanish return delay
    bool hasReturn = false;  // vanish: comes back after ms
    int size = 3;            // pieces: bytes per piece
    uint32_t gapMs = 30;     // pieces: pause between pieces
    int archive = 0;         // frame faults: archive number from 1
    int block = -1;          // frame faults: block number from 1 (0: header frame)
    int switchNo = 0;        // return-late / never-return / renumber: switch from 1, 0 all
    uint8_t status[2] = {0xAA, 0x02};
    std::vector<uint8_t> after;  // bytes sent after a rejection status
    int value = 1;               // wrong-mode: the mode reported
    std::string text;            // the line as written, for reports
};

struct Scenario {
    std::vector<Fault> faults;
};

// Reads scenario text into out (appending). Returns true on success; on failure error says
// which line and why, and out is left as it was.
bool scenario_Parse(const std::string& text, Scenario* out, std::string* error);

// True when the received command line matches the pattern (see the format above).
bool scenario_CommandMatches(const std::string& pattern, const std::string& command);

// The format description printed by --help.
const char* scenario_HelpText();

}  // namespace modemsim

#endif
