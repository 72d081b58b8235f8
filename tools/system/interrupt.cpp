// Ctrl-C handling for the command-line host: the counting lives in the platform's interrupt
// service; this file decides what an interrupt says and does.
#include "cli/system/interrupt.h"

#include <string>

#include "modemflash/downloader.h"
#include "platform/interrupt.h"

void intr_Install() {
    sig_Install();
}

int intr_Count() {
    return sig_Count();
}

const char* intr_LeftBehind(int lastEventCode) {
    switch (lastEventCode) {
        case INTR_NO_EVENT:
            return "the modem as it was (nothing has been sent to it yet)";
        case EVENT_BEGIN_DOWNLOAD:
        case EVENT_CLOSE_AUTORUN:
            return "the modem in modem mode with its autorun possibly off";
        case EVENT_ENTER_DOWNLOAD_MODE:
            return "the modem in loader mode: it does not work as a modem until an update "
                   "completes";
        case EVENT_LOADER:
            return "the modem in loader mode with loader.wrapped half written: it does not "
                   "work as a modem until an update completes";
        case EVENT_SECONDARY_BOOT:
            return "the modem in loader mode with secondary_boot.wrapped half written: it does "
                   "not work as a modem until an update completes";
        case EVENT_FACTORY_TESTS:
            return "the modem in loader mode with factory_tests.wrapped half written: it does "
                   "not work as a modem until an update completes";
        case EVENT_MODEM:
            return "the modem in loader mode with modem.wrapped half written: it does not work "
                   "as a modem until an update completes";
        case EVENT_NOCD_ISO:
            return "the modem in loader mode with nocd.iso.wrapped half written: it does not "
                   "work as a modem until an update completes";
        case EVENT_MASS_STORAGE:
            return "the modem in loader mode with mass_storage.wrapped half written: it does "
                   "not work as a modem until an update completes";
        case EVENT_PRODUCT_CONFIG:
            return "the modem with productConfig.bin half written: it may not work as a modem "
                   "until an update completes";
        case EVENT_RESET_TO_MODEM:
            return "the new firmware written but the modem possibly still on its way back to "
                   "modem mode, with its autorun off";
        case EVENT_OPEN_AUTORUN:
        case EVENT_SUCCESS:
            return "the modem updated (only the last checks would be skipped)";
        default:
            return "the modem in an unknown state, possibly in loader mode";
    }
}

void intr_PrintNotice(const char* leftBehind, FILE* to) {
    std::string text = std::string("\nmodemflash: interrupt: stopping now would leave ") +
                       leftBehind +
                       ".\nmodemflash: the update goes on; press Ctrl-C again to stop anyway.\n";
    FILE* out = to ? to : stderr;
    fputs(text.c_str(), out);  // one call: the line is not split by the progress output
    fflush(out);
}

void intr_Stop() {
    sig_ExitNow(INTR_EXIT_STATUS);
}

InterruptWatch::InterruptWatch(std::function<void(int count)> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
    sig_Watch(&InterruptWatch::call, this);
}

InterruptWatch::~InterruptWatch() {
    sig_Unwatch();
}

void InterruptWatch::call(void* self, int count) {
    static_cast<InterruptWatch*>(self)->onInterrupt_(count);
}
