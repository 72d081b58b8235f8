// One whole update (CDownloader: configuration, port search, job) against a simulated modem in
// a process of its own, its session recorded; what it ended with, for comparing a recorded run
// with its replay.
#ifndef MODEMFLASH_TESTS_REPLAY_SUPPORT_H
#define MODEMFLASH_TESTS_REPLAY_SUPPORT_H

#include <map>
#include <string>
#include <vector>

namespace replaytest {

struct Outcome {
    bool ran = false;
    std::string why;  // why it did not run
    int result = -1;  // the host's result code
    int mode = -1, autorun = -1;
    std::map<uint32_t, std::string> flash;  // archive ID -> SHA-256 of what it holds
    std::vector<std::string> commands;      // the command lines the host sent, in order
    std::string report;                     // the modem's JSON report
};

struct Run {
    std::string dir;       // a fresh folder for the run's device tree and files
    std::string firmware;  // the firmware folder
    std::string scenario;  // faults of a scripted modem
    std::string replay;    // or: the session its modem plays back
    bool strict = false;   // ... ending at the first deviation
    std::string record;    // where the run's own session goes
};

// A firmware folder of two archives (categories 8 and 9, 40000 payload bytes each).
bool writeFirmware(const std::string& folder);

// Runs the update in a child process (the engine's state is process-wide) with the clock at
// scale 200 (50 until the job starts), and 20000 while the modem withholds every answer.
Outcome runUpdate(const Run& run);

}  // namespace replaytest

#endif
