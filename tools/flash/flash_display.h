// What `modemflash flash` shows of one modem's update: a progress bar fed by the sink's
// events on a terminal, plain lines otherwise, or one JSON object per event and message; the
// posted status, result and information texts, read from this thread's queue at every event.
// With the engine linked into the program the display also observes the job: each text is
// shown as it is posted with what it means (its JobText code), and a failure with what
// failed. A library loaded by --library speaks only the host contract: its texts are shown as
// they come.
#ifndef MODEMFLASH_TOOLS_FLASH_DISPLAY_H
#define MODEMFLASH_TOOLS_FLASH_DISPLAY_H

#include <stdint.h>

#include <atomic>
#include <string>

#include "cli/system/interrupt.h"
#include "modemflash/downloader.h"
#include "modemflash/messages.h"
#include "report/job_observer.h"

class EngineLines;

namespace cli {

class FlashRecord;

// The name of an event code as the host contract gives it ("enterdownloadmode",
// "modem.wrapped"), or "unknown".
const char* flashEventName(int code);

class FlashDisplay : public IDownloadSink, public IJobObserver {
  public:
    // libraryPeek reads the loaded library's queue; null reads this program's own, and the
    // display is then the job's observer too.
    FlashDisplay(bool json, bool terminal, PeekMessageFunction libraryPeek, EngineLines* lines)
        : json_(json), bar_(terminal && !json), peek_(libraryPeek), lines_(lines) {}

    void OnEvent(DownloadEvent* e) override;
    // As the job's observer.
    void OnPhase(int, JobPhase, int) override {}
    void OnText(int port, unsigned messageId, int meaning, const char* text) override;
    void OnFailure(int, const JobFailure& failure) override {
        failure_ = failure.words;
        failureStep_ = failure.step;
        failureRecord_ = failure;
    }
    // What failed, in words, when the linked engine said ("" otherwise).
    const std::string& failure() const { return failure_; }
    int failureStep() const { return failureStep_; }  // JobStep; JOB_STEP_NONE when none
    // The whole failure record; null when the update did not fail.
    const JobFailure* failureRecord() const { return failureStep_ ? &failureRecord_ : nullptr; }
    // Shows every message waiting in this thread's queue.
    void drainMessages();
    // Ends the progress bar's line, when one is shown.
    void endBar();

    int lastProgress() const { return lastProgress_; }
    // The last event code (INTR_NO_EVENT before the first); read from any thread.
    int lastEvent() const { return lastEvent_.load(); }
    void setRecord(FlashRecord* record) { record_ = record; }
    bool json() const { return json_; }

  private:
    bool peek(ModemflashMessage* m);
    void drawBar();
    void showText(uint32_t id, const char* text, const char* meaning);

    bool json_;
    bool bar_;
    PeekMessageFunction peek_;
    EngineLines* lines_;
    std::string current_;
    int percent_ = 0;
    int lastProgress_ = 0;
    bool barShown_ = false;
    std::atomic<int> lastEvent_{INTR_NO_EVENT};  // read by the interrupt watch's thread
    FlashRecord* record_ = nullptr;
    std::string failure_;
    int failureStep_ = 0;
    JobFailure failureRecord_{};
};

// Hands every call of the job to each of its observers in turn.
class ObserverTee : public IJobObserver {
  public:
    ObserverTee(IJobObserver* a, IJobObserver* b) : a_(a), b_(b) {}
    void OnPhase(int port, JobPhase phase, int fileIndex) override {
        a_->OnPhase(port, phase, fileIndex);
        b_->OnPhase(port, phase, fileIndex);
    }
    void OnFileStart(int port, int fileIndex, int fileCount, const char* path) override {
        a_->OnFileStart(port, fileIndex, fileCount, path);
        b_->OnFileStart(port, fileIndex, fileCount, path);
    }
    void OnEvent(int port, int code, int value) override {
        a_->OnEvent(port, code, value);
        b_->OnEvent(port, code, value);
    }
    void OnFileEnd(int port, int fileIndex, bool programmed) override {
        a_->OnFileEnd(port, fileIndex, programmed);
        b_->OnFileEnd(port, fileIndex, programmed);
    }
    void OnFailure(int port, const JobFailure& failure) override {
        a_->OnFailure(port, failure);
        b_->OnFailure(port, failure);
    }
    void OnText(int port, unsigned messageId, int meaning, const char* text) override {
        a_->OnText(port, messageId, meaning, text);
        b_->OnText(port, messageId, meaning, text);
    }

  private:
    IJobObserver* a_;
    IJobObserver* b_;
};

}  // namespace cli

#endif
