// Recording one modem update as it runs: the glue between a host's job and the store.
//
// A host describes the firmware files once (CFirmwareFiles: hashing a large set takes a
// moment, and a station updates many modems from the same files), then for each update
// makes one CUpdateRecorder, calls Begin as the update starts, lets it observe the job (it is
// a job observer: the file starts and ends the engine declares), and calls Finish with the
// result. A recorder never stops or fails an update: the first store
// error is reported through the warning function, and the recorder then stays quiet.
#ifndef MODEMFLASH_HISTORY_UPDATE_RECORDER_H
#define MODEMFLASH_HISTORY_UPDATE_RECORDER_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "platform/thread.h"
#include "report/job_observer.h"

// Name (without folder), size, archive ID and name, and SHA-256 of each file, in list order
// (seq 0, 1, ...). Paths may use '\' as the library composes them. An unreadable file keeps
// size -1 and an empty hash; a file without the archive magic keeps archive ID -1.
std::vector<HistoryFile> history_DescribeFiles(const std::vector<std::string>& paths);

// The firmware files of an update, or of every update made from one folder, described on a
// helper thread from the moment the object is made: an update that starts meanwhile does
// not wait for a large set to be hashed, and by the time it has sent a file, that file's
// description is usually ready. Any thread may ask for a description.
class CFirmwareFiles {
  public:
    explicit CFirmwareFiles(std::vector<std::string> paths);
    ~CFirmwareFiles();  // waits for the helper thread
    CFirmwareFiles(const CFirmwareFiles&) = delete;
    CFirmwareFiles& operator=(const CFirmwareFiles&) = delete;

    size_t Count() const { return names_.size(); }
    // The file's name without its folder, known at once.
    const std::string& Name(size_t i) const { return names_[i]; }
    // File i's description: the helper's when it has got that far, otherwise worked out on
    // the calling thread (nobody waits for the helper).
    HistoryFile File(size_t i) const;
    // Waits until the helper has described every file. Only the thread that made the object
    // may call it.
    void WaitDescribed();

  private:
    static void describeAll(void* self);

    std::vector<std::string> paths_;
    std::vector<std::string> names_;
    std::vector<HistoryFile> described_;  // entry i written by the helper before done_[i]
    std::unique_ptr<std::atomic<bool>[]> done_;
    std::atomic<bool> stop_{false};
    PlatformThread* helper_ = nullptr;
};

// The files an update from folder sends, in the order it sends them, as the library
// composes their paths (its own configuration reader); none when the folder is refused.
std::vector<std::string> history_FirmwarePaths(const std::string& folder);

// The identification answers kept for the update, read through answerOf(mode, command),
// which returns null (or "") for a command that got no answer.
std::vector<HistoryAnswer> history_CollectAnswers(
    const std::function<const char*(int mode, const char* command)>& answerOf);

// The end of a record as the engine left the port context: the identification answers it
// kept and the port names the job opened. For hosts that run the engine in their own
// process (the station); a host of the loaded library reads the same through its exports.
void history_TakeFromPort(int portIndex, HistoryUpdate* end);
// Where the port's last job left its modem, in words, when that job did not complete ("" when
// it did): for HistoryUpdate::modemLeft.
std::string history_LeftWords(int portIndex);

// This machine's name.
std::string history_MachineName();

class CUpdateRecorder : public IJobObserver {
  public:
    using Warn = std::function<void(const std::string& text)>;

    // store may be null (no history): then every call does nothing.
    CUpdateRecorder(IHistoryStore* store, Warn warn);

    // Writes the record of the update that starts now. Fields left empty in start: the start
    // time (now) and the machine's name. firmware (not owned, may be null for none) must
    // outlive the recorder.
    void Begin(HistoryUpdate start, const CFirmwareFiles* firmware);

    // File seq (from 0) starts (again for the file in progress: nothing; a file still in
    // progress then ends, not programmed), and ends, programmed or not, and is recorded.
    void StartFile(int seq);
    void EndFile(int seq, bool programmed);
    // The transfer of file seq is over and its programming begins: the file's transfer time
    // is known, whatever the programming then does.
    void Transferred(int seq);
    // blocks data blocks of file seq have gone out so far. The file is recorded as far as it
    // got (the first block at once, then at most about once a second), so that an update that
    // never finishes (killed, stopped by a second Ctrl-C) keeps how far its transfer got.
    void BlocksSent(int seq, int64_t blocks);
    // The modem's identification answers as far as they are known: recorded at once when they
    // are more than before (an update that never finishes keeps them).
    void Answers(const std::vector<HistoryAnswer>& answers);

    // As the job's observer: its file starts and ends (fileIndex 1.. is seq + 1), the end of
    // each transfer (the programming phase), the data blocks (the file's events after its
    // first), and the answers the port context holds once the modem has been identified in
    // modem mode (the switch to loader mode begins) and in loader mode (a file is sent).
    void OnPhase(int port, JobPhase phase, int fileIndex) override;
    void OnFileStart(int, int fileIndex, int, const char*) override { StartFile(fileIndex - 1); }
    void OnEvent(int port, int code, int value) override;
    void OnFileEnd(int, int fileIndex, bool programmed) override {
        EndFile(fileIndex - 1, programmed);
    }

    // Finishes the record with end's result, words, log path, port names, answers (and
    // location, serial and identity note when given); the end time is now. The file in
    // progress and those never reached are recorded as not programmed.
    void Finish(const HistoryUpdate& end);

    int64_t id() const { return id_; }  // 0 before Begin or when the store failed

  private:
    void completeCurrent(bool programmed);
    HistoryFile described(const HistoryFile& f);  // f with its file's description
    void warnOnce(const std::string& text);
    bool writing() const { return store_ != nullptr && id_ > 0; }

    IHistoryStore* store_;
    Warn warn_;
    int64_t id_ = 0;
    bool warned_ = false;
    const CFirmwareFiles* firmware_ = nullptr;
    std::vector<HistoryFile> files_;  // what the update did with each file (no description)
    std::vector<bool> recorded_;
    // Each file's description once this update has had it: a file the helper has not got to
    // yet is read and hashed on this thread once, not with every progress write.
    std::vector<std::optional<HistoryFile>> descriptions_;
    std::vector<int> eventCodes_;  // each file's event code (DownloadEventCode)
    int current_ = -1;             // index into files_ of the file in progress
    int64_t currentEvents_ = 0;    // events of the file in progress seen by OnEvent
    std::chrono::steady_clock::time_point currentStart_;
    std::chrono::steady_clock::time_point lastSaved_;  // the file in progress, last recorded
    size_t answersKept_ = 0;                           // answers recorded so far
};

#endif
