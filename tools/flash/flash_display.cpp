// The display of `modemflash flash`.
#include "cli/flash/flash_display.h"

#include <stdio.h>

#include "cli/display/engine_lines.h"
#include "cli/history/flash_history.h"
#include "platform/messages.h"

namespace cli {

namespace {

const char* kindOf(uint32_t id) {
    switch (id) {
        case MSG_DL_STATUS:
            return "status";
        case MSG_DL_RESULT:
            return "result";
        case MSG_DL_INFO:
            return "info";
        default:
            return "progress";
    }
}

// What a text of the engine means, in English, by its code.
const char* meaningOf(int meaning) {
    switch (meaning) {
        case JOB_TEXT_RECOVERING:
            return "recovering: bringing the modem back to modem mode";
        case JOB_TEXT_RECOVERED:
            return "recovery complete: the modem is back in modem mode";
        case JOB_TEXT_RECOVERY_FAILED:
            return "recovery failed: restart the modem";
        case JOB_TEXT_EXPECTED_TIME:
            return "expected update time (a fixed estimate)";
        default:
            return nullptr;
    }
}

}  // namespace

const char* flashEventName(int code) {
    switch (code) {
        case EVENT_BEGIN_DOWNLOAD:
            return "begindownload";
        case EVENT_CLOSE_AUTORUN:
            return "closeautorun";
        case EVENT_ENTER_DOWNLOAD_MODE:
            return "enterdownloadmode";
        case EVENT_OPEN_AUTORUN:
            return "openautorun";
        case EVENT_SUCCESS:
            return "success";
        case EVENT_LOADER:
            return "loader.wrapped";
        case EVENT_SECONDARY_BOOT:
            return "secondary_boot.wrapped";
        case EVENT_FACTORY_TESTS:
            return "factory_tests.wrapped";
        case EVENT_MODEM:
            return "modem.wrapped";
        case EVENT_NOCD_ISO:
            return "nocd.iso.wrapped";
        case EVENT_MASS_STORAGE:
            return "mass_storage.wrapped";
        case EVENT_PRODUCT_CONFIG:
            return "productConfig.bin";
        case EVENT_RESET_TO_MODEM:
            return "resettomodem";
        default:
            return "unknown";
    }
}

void FlashDisplay::OnEvent(DownloadEvent* e) {
    lastEvent_.store(e->code);
    if (record_ && peek_) record_->onEvent(e->code);  // a loaded library: the contract alone
    drainMessages();
    if (json_) {
        lines_->writeJson({{"type", "event"},
                           {"code", e->code},
                           {"name", flashEventName(e->code)},
                           {"value", e->value}});
        return;
    }
    const char* name = flashEventName(e->code);
    bool fileEvent = e->code >= EVENT_LOADER && e->code <= EVENT_PRODUCT_CONFIG;
    if (fileEvent && current_ != name) {
        current_ = name;
        if (!bar_) printf("file %s from %d%%\n", name, e->value);
    } else if (!fileEvent) {
        endBar();
        printf("%s (%d%%)\n", name, e->value);
    }
    percent_ = e->value;
    if (bar_ && fileEvent) drawBar();
    fflush(stdout);
}

void FlashDisplay::drainMessages() {
    ModemflashMessage m;
    while (peek(&m)) {
        const char* text = m.id == MSG_DL_PROGRESS ? "" : reinterpret_cast<const char*>(m.lParam);
        if (json_) {
            if (m.id == MSG_DL_PROGRESS)
                lines_->writeJson({{"type", "progress"},
                                   {"port", static_cast<long>(m.wParam)},
                                   {"percent", static_cast<long>(m.lParam)}});
            else
                lines_->writeJson({{"type", kindOf(m.id)},
                                   {"port", static_cast<long>(m.wParam)},
                                   {"text", cli_LibraryText(text)}});
            continue;
        }
        if (m.id == MSG_DL_PROGRESS) {
            lastProgress_ = static_cast<int>(m.lParam);
            continue;
        }
        // The linked engine's texts were shown as they were posted (OnText).
        if (peek_) showText(m.id, text, nullptr);
    }
    fflush(stdout);
}

void FlashDisplay::OnText(int, unsigned messageId, int meaning, const char* text) {
    if (json_) return;  // JSON carries the messages as the queue holds them
    drainMessages();    // what was posted before this text comes first
    showText(messageId, text, meaningOf(meaning));
    fflush(stdout);
}

void FlashDisplay::showText(uint32_t id, const char* text, const char* meaning) {
    endBar();
    if (meaning)
        printf("%s: %s (%s)\n", kindOf(id), text, meaning);
    else
        printf("%s: %s\n", kindOf(id), text);
}

void FlashDisplay::endBar() {
    if (barShown_) {
        printf("\n");
        barShown_ = false;
    }
}

bool FlashDisplay::peek(ModemflashMessage* m) {
    if (peek_) return peek_(m, 1) != 0;
    uint32_t id;
    intptr_t w, l;
    if (!msg_Peek(&id, &w, &l, 1)) return false;
    m->id = id;
    m->wParam = w;
    m->lParam = l;
    return true;
}

void FlashDisplay::drawBar() {
    const int width = 40;
    int p = percent_ < 0 ? 0 : percent_ > 100 ? 100 : percent_;
    int filled = p * width / 100;
    printf("\r[%.*s%*s] %3d%%  %-24s", filled, "########################################",
           width - filled, "", p, current_.c_str());
    barShown_ = true;
}

}  // namespace cli
