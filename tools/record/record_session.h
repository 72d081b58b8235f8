// Session recording in the command-line host: the --record and --record-payload options, and
// the session of a single `flash`, recorded through the serial tap of the engine built into
// the program (or of a library loaded with --library).
#ifndef MODEMFLASH_TOOLS_RECORD_SESSION_H
#define MODEMFLASH_TOOLS_RECORD_SESSION_H

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "platform/dynlib.h"
#include "recorder/session_recorder.h"

namespace cli {

void addRecordOptions(CLI::App& app, std::string* record, bool* payload, const char* help);

// The session of one `flash FOLDER --record FILE`.
class FlashSession {
  public:
    explicit FlashSession(DynLib lib) : lib_(lib) {}
    // Creates the file and sets the library's tap; false (the reason printed) when the file
    // cannot be written or the library cannot be tapped.
    bool open(const std::string& path, bool wholePayload, const std::string& folder);
    // The identification answers the library kept, the result, and the end line.
    void finish(int result, const char* words, int exitStatus);
    // A second Ctrl-C: the file is closed whole, as interrupted.
    void interrupted();

  private:
    DynLib lib_;
    std::unique_ptr<SessionRecorder> recorder_;
};

// A directory that session files can be written in; false with the reason printed.
bool recordDirUsable(const std::string& dir);

}  // namespace cli

#endif
