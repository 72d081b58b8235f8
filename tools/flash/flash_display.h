// What `modemflash flash` shows of one modem's update: a progress bar fed by the sink's
// events on a terminal, plain lines otherwise, or one JSON object per event and message; the
// posted status, result and information texts, read from this thread's queue at every event.
#ifndef MODEMFLASH_TOOLS_FLASH_DISPLAY_H
#define MODEMFLASH_TOOLS_FLASH_DISPLAY_H

#include <stdint.h>

#include <atomic>
#include <string>

#include "cli/system/interrupt.h"
#include "modemflash/downloader.h"
#include "modemflash/messages.h"

class EngineLines;

namespace cli {

class FlashRecord;

// The name of an event code as the host contract gives it ("enterdownloadmode",
// "modem.wrapped"), or "unknown".
const char* flashEventName(int code);

class FlashDisplay : public IDownloadSink {
  public:
    // libraryPeek reads the loaded library's queue; null reads this program's own.
    FlashDisplay(bool json, bool terminal, PeekMessageFunction libraryPeek, EngineLines* lines)
        : json_(json), bar_(terminal && !json), peek_(libraryPeek), lines_(lines) {}

    void OnEvent(DownloadEvent* e) override;
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
};

}  // namespace cli

#endif
