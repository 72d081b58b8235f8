// A minimal Windows host of modemflash.dll in C++: the calling order, a sink that prints each
// event, the messages the library posts to this thread's queue, and the result in words.
//
//   cpp_host FOLDER      FOLDER holds update_config.ini and the firmware files
//
// Build with mingw-w64:        g++ cpp_host.cpp -I..\include ..\lib\libmodemflash.dll.a -o
// cpp_host.exe Build with Microsoft's C++:  cl /EHsc /I..\include cpp_host.cpp
// ..\lib\modemflash.lib user32.lib Run it with modemflash.dll beside it (or on the PATH). Exit
// status 0 when the modem was updated.
#include <stdio.h>
#include <windows.h>

#include "modemflash/downloader.h"

namespace {

const char* eventWords(int32_t code) {
    switch (code) {
        case EVENT_ENTER_DOWNLOAD_MODE:
            return "switching the modem to its loader";
        case EVENT_LOADER:
            return "sending loader.wrapped";
        case EVENT_SECONDARY_BOOT:
            return "sending secondary_boot.wrapped";
        case EVENT_FACTORY_TESTS:
            return "sending factory_tests.wrapped";
        case EVENT_MODEM:
            return "sending modem.wrapped";
        case EVENT_MASS_STORAGE:
            return "sending mass_storage.wrapped";
        case EVENT_NOCD_ISO:
            return "sending nocd.iso.wrapped";
        case EVENT_PRODUCT_CONFIG:
            return "sending productConfig.bin";
        case EVENT_RESET_TO_MODEM:
            return "returning the modem to modem mode";
        case EVENT_OPEN_AUTORUN:
            return "autorun switched on";
        case EVENT_SUCCESS:
            return "success";
        default:
            return "other event";
    }
}

const char* resultWords(int32_t result) {
    switch (result) {
        case DOWNLOAD_OK:
            return "the modem was updated";
        case DOWNLOAD_PROGRAM_FAILED:
            return "the modem refused to program an archive";
        case DOWNLOAD_TRANSFER_FAILED:
            return "an archive could not be transferred";
        case DOWNLOAD_MODE_FAILED:
            return "the modem could not be switched between its modes";
        default:
            return "no modem answered, or a step of the update failed";
    }
}

// Takes the messages posted to this thread so far. A text lives in the library's slot until
// the next text of its kind replaces it: print (or copy) it when its message is taken.
void takeMessages() {
    MSG msg;
    while (PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) {
        const char* text = reinterpret_cast<const char*>(msg.lParam);
        switch (msg.message) {
            case MSG_DL_PROGRESS:
                printf("  progress %d%%\n", static_cast<int>(msg.lParam));
                break;
            case MSG_DL_STATUS:
                printf("  status: %s\n", text);
                break;
            case MSG_DL_RESULT:
                printf("  result text: %s\n", text);
                break;
            case MSG_DL_INFO:
                printf("  information: %s\n", text);
                break;
            default:
                break;
        }
    }
}

// Called on the thread that runs Download, while it runs; the event lives only during the call.
class PrintingSink : public IDownloadSink {
  public:
    void OnEvent(DownloadEvent* event) override {
        takeMessages();  // what was posted before this event
        printf("event %d, value %d: %s\n", static_cast<int>(event->code),
               static_cast<int>(event->value), eventWords(event->code));
        fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: cpp_host FOLDER\n");
        return 2;
    }
    // 1. The process's one downloader; it lives until the process ends (never delete it).
    IDownloader* downloader = Create();
    if (downloader == nullptr) {
        fprintf(stderr, "Create failed: out of memory\n");
        return 1;
    }
    downloader->Reserved(0);  // the fourth operation: no effect, always true

    // 2. The firmware folder: false when update_config.ini cannot be read, chooses nothing, or
    //    a chosen file is missing or too short.
    if (!downloader->SetFirmwareFolder(argv[1])) {
        fprintf(stderr, "the firmware folder %s was refused\n", argv[1]);
        return 3;
    }

    // 3. The sink, which must outlive Download.
    PrintingSink sink;
    downloader->SetSink(&sink);

    // 4. The update: blocks until it has ended (a minute without a modem, minutes with one).
    int32_t result = DOWNLOAD_FAILED;
    bool updated = downloader->Download(&result, 0);
    takeMessages();  // the last messages
    printf("result %d: %s\n", static_cast<int>(result), resultWords(result));
    return updated ? 0 : 1;
}
