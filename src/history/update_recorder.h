// Recording one modem update as it runs: the glue between a host's job and the store.
//
// A host describes the firmware files once (history_DescribeFiles: hashing a large set takes
// a moment, and a station updates many modems from the same files), then for each update
// makes one CUpdateRecorder, calls Begin as the update starts, feeds it the sink events, and
// calls Finish with the result. A recorder never stops or fails an update: the first store
// error is reported through the warning function, and the recorder then stays quiet.
#ifndef MODEMFLASH_HISTORY_UPDATE_RECORDER_H
#define MODEMFLASH_HISTORY_UPDATE_RECORDER_H

#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "history/history_store.h"

// Name (without folder), size, archive ID and name, and SHA-256 of each file, in list order
// (seq 0, 1, ...). Paths may use '\' as the library composes them. An unreadable file keeps
// size -1 and an empty hash; a file without the archive magic keeps archive ID -1.
std::vector<HistoryFile> history_DescribeFiles(const std::vector<std::string>& paths);

// The identification answers kept for the update, read through answerOf(mode, command),
// which returns null (or "") for a command that got no answer.
std::vector<HistoryAnswer> history_CollectAnswers(
    const std::function<const char*(int mode, const char* command)>& answerOf);

// This machine's name and this modemflash's version.
std::string history_MachineName();

class CUpdateRecorder {
  public:
    using Warn = std::function<void(const std::string& text)>;

    // store may be null (no history): then every call does nothing.
    CUpdateRecorder(IHistoryStore* store, Warn warn);

    // Writes the record of the update that starts now. Fields left empty in start: the start
    // time (now) and the machine's name.
    void Begin(HistoryUpdate start, std::vector<HistoryFile> files);

    // One sink event (DownloadEventCode) of the update. A file's event starts that file (the
    // same event again is the progress of its blocks); the event of another file, or of the
    // return to modem mode, ends it, programmed, and records it.
    void OnEvent(int code);

    // Finishes the record with end's result, words, log path, port names, answers (and
    // location and serial when given); the end time is now. The file in progress and those
    // never reached are recorded as not programmed.
    void Finish(const HistoryUpdate& end);

    int64_t id() const { return id_; }  // 0 before Begin or when the store failed

  private:
    void completeCurrent(bool programmed);
    void warnOnce(const std::string& text);
    bool writing() const { return store_ != nullptr && id_ > 0; }

    IHistoryStore* store_;
    Warn warn_;
    int64_t id_ = 0;
    bool warned_ = false;
    std::vector<HistoryFile> files_;
    std::vector<bool> recorded_;
    int current_ = -1;  // index into files_ of the file in progress
    std::chrono::steady_clock::time_point currentStart_;
};

#endif
