// modemflash host contract: the downloader object, its notification sink and result codes.
//
// A host loads the library, calls Create() once to obtain the process's one downloader,
// then calls, in this order:
//   SetFirmwareFolder(folder)   reads folder\update_config.ini and checks the chosen files
//   SetSink(sink)               registers the object that receives DownloadEvent records
//   Download(&result, 0)        runs the whole update; blocks until it has ended
// Progress and texts are also posted to the calling thread's message queue (see
// modemflash/messages.h); events reach the sink synchronously on that same thread.
// Minimal hosts that do all of this: examples/c_host.c (C, the operation table declared by
// hand) and examples/cpp_host.cpp (C++), in the source tree and in the Windows kit.
//
// Time scale. The environment variable MODEMFLASH_TIME_SCALE=N (a number from 1 to 1000000)
// asks for every pause and time-out of the library to be N times shorter, the 20 seconds a
// real modem needs after each mode command included: it exists for simulated modems only. The
// library honours it only while every port it opens is a simulated modem's (by the USB
// identity those ports carry); the first port of any other device puts it back to real time,
// before the first byte goes to that port, with a line on standard error. A scale other than 1
// is announced once, on standard error, when the library is first used (Create): "time scale N
// in force: pauses and time-outs are N times shorter; for simulated modems only". Any other
// value is ignored (real time) with a warning of the same kind.
#ifndef MODEMFLASH_DOWNLOADER_H
#define MODEMFLASH_DOWNLOADER_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(MODEMFLASH_BUILDING_LIBRARY)
#define MODEMFLASH_API __declspec(dllexport)
#else
#define MODEMFLASH_API __declspec(dllimport)
#endif
#else
#define MODEMFLASH_API __attribute__((visibility("default")))
#endif

// Result codes written by Download.
enum DownloadResult {
    DOWNLOAD_FAILED = 0,            // no modem answered the probe, or the job failed otherwise
    DOWNLOAD_OK = 1,                // every file sent and programmed, modem back in modem mode
    DOWNLOAD_PROGRAM_FAILED = 13,   // the modem refused to program an archive
    DOWNLOAD_TRANSFER_FAILED = 14,  // an archive could not be transferred
    DOWNLOAD_MODE_FAILED = 15       // the modem could not be switched or its port not reopened
};

// Posted message identifiers. The first parameter (wParam) is the port index (always 0 for
// Download); the second (lParam) is the percentage for MSG_DL_PROGRESS, else the address of a
// NUL-terminated text slot that the library owns and overwrites with the next text of its kind.
enum DownloadMessage {
    MSG_DL_PROGRESS = 0x500,
    MSG_DL_STATUS = 0x600,
    MSG_DL_RESULT = 0x700,
    MSG_DL_INFO = 0x900
};

// Event codes carried by DownloadEvent::code.
enum DownloadEventCode {
    EVENT_BEGIN_DOWNLOAD = 0,
    EVENT_CLOSE_AUTORUN = 2,
    EVENT_ENTER_DOWNLOAD_MODE = 5,
    EVENT_OPEN_AUTORUN = 22,
    EVENT_SUCCESS = 23,
    EVENT_LOADER = 24,
    EVENT_SECONDARY_BOOT = 25,
    EVENT_FACTORY_TESTS = 26,
    EVENT_MODEM = 27,
    EVENT_NOCD_ISO = 28,
    EVENT_MASS_STORAGE = 29,
    EVENT_PRODUCT_CONFIG = 30,
    EVENT_RESET_TO_MODEM = 31,
    EVENT_UNKNOWN = -1  // a name that matches no known fragment
};

// The record handed to IDownloadSink::OnEvent; it lives only during the call.
struct DownloadEvent {
    int32_t reserved1;  // always 0
    int32_t reserved2;  // always 0
    int32_t code;       // DownloadEventCode
    int32_t value;      // a percentage, or 1 for EVENT_ENTER_DOWNLOAD_MODE
};

#ifdef __cplusplus

// The host's sink. Its first (and only) virtual operation receives every event.
class IDownloadSink {
  public:
    virtual void OnEvent(DownloadEvent* event) = 0;
};

// The downloader. The order of the four operations is the binary contract with hosts.
class IDownloader {
  public:
    // Runs the update. Writes a DownloadResult to *result; true exactly for DOWNLOAD_OK.
    virtual bool Download(int32_t* result, int32_t ignored) = 0;
    // Names the firmware folder. False when update_config.ini cannot be read, selects nothing
    // ("-1"), a chosen file is missing, not a regular file or shorter than 2 bytes, or the
    // folder is longer than 232 characters.
    virtual bool SetFirmwareFolder(const char* folder) = 0;
    // Registers the sink (not owned). Always true.
    virtual bool SetSink(IDownloadSink* sink) = 0;
    // Has no effect. Always true.
    virtual bool Reserved(int32_t value) = 0;
};

extern "C" {
#endif

// Returns the process's one downloader (the same object on every call), or null when it
// could not be allocated. The first call announces a time scale in force (see above).
#ifdef __cplusplus
MODEMFLASH_API IDownloader* Create(void);
#else
MODEMFLASH_API void* Create(void);
#endif

typedef
#ifdef __cplusplus
    IDownloader*
#else
    void*
#endif
    (*CreateFunction)(void);

#ifdef __cplusplus
}
#endif

#endif
