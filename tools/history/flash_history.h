// The update history as the command-line host keeps it: the --history and --no-history
// options, opening the store with its one warning, and the record of a `flash` update.
#ifndef MODEMFLASH_TOOLS_FLASH_HISTORY_H
#define MODEMFLASH_TOOLS_FLASH_HISTORY_H

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "history/history_path.h"
#include "history/history_store.h"
#include "history/update_recorder.h"
#include "platform/dynlib.h"

namespace cli {

// Adds --history FILE and, for the commands that record updates (recording), --no-history,
// --history-server URI and --station-name N.
void addHistoryOptions(CLI::App& app, HistoryOptions* options, bool recording);

// Prints one warning line on standard error.
void historyWarning(const std::string& text);

// Opens the history for recording. Null when there is none: --no-history, a build without a
// store (silently, unless the user named a file), or a history that cannot be used (one
// warning line). A damaged file moved aside is also one warning line. Every record gets the
// station's name; with a server named (--history-server, MODEMFLASH_HISTORY_SERVER) a shipper
// sends each record there (history_shipper.h) and gives it up to kShipAtEndMs at the end.
std::unique_ptr<IHistoryStore> openHistoryForUpdates(const HistoryOptions& options);
const int kShipAtEndMs = 2000;

// The record of one `modemflash flash`: begun before Download, fed the job's file starts and
// ends, finished with the result. With the engine linked into the program (lib null) the
// record observes the job (observer()) and takes the modem's identification answers and port
// names from the port context; with a library loaded by --library, which speaks only the host
// contract, it follows the sink's events (onEvent: the contract sends a file's event before
// its transfer and the next file's only after programming it) and reads the answers through
// the library's exports.
class FlashRecord {
  public:
    FlashRecord(const HistoryOptions& options, const std::string& folder,
                const std::string& logFile, DynLib lib);
    // The modem the update is for, as the host found it before the search (see
    // access_IdentityOf): recorded at the start. Call before begin.
    void setModem(const std::string& port, const std::string& location, const std::string& serial,
                  const std::string& note);
    void begin();
    IJobObserver* observer() { return &recorder_; }
    void onEvent(int code);
    void finish(int result, const char* words);

  private:
    void checkModem(HistoryUpdate* end) const;

    std::unique_ptr<IHistoryStore> store_;
    std::unique_ptr<CFirmwareFiles> firmware_;  // before recorder_, which reads it
    CUpdateRecorder recorder_;
    std::string folder_;
    std::string logFile_;
    DynLib lib_;
    int current_ = -1;           // with a loaded library: the file whose events come now
    int64_t currentEvents_ = 0;  // and its events so far (the first, then one a block)
    std::string port_, location_, serial_, note_;  // the modem, as setModem gave it
};

}  // namespace cli

#endif
