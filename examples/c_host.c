/* A minimal Windows host of modemflash.dll in C: the calling order, a sink that prints each
 * event, the messages the library posts to this thread's queue, and the result in words.
 *
 *   c_host FOLDER      FOLDER holds update_config.ini and the firmware files
 *
 * Build with mingw-w64:     gcc c_host.c -I..\include ..\lib\libmodemflash.dll.a -o c_host.exe
 * Build with Microsoft's C: cl /I..\include c_host.c ..\lib\modemflash.lib user32.lib
 * Run it with modemflash.dll beside it (or on the PATH). Exit status 0 when the modem was updated.
 *
 * In C the downloader is a pointer to a table of four operations (Download, SetFirmwareFolder,
 * SetSink, Reserved, in this order), each taking the object first; bool is one byte. The
 * sink is an object whose table's first entry receives the events. */
#include <stdint.h>
#include <stdio.h>
#include <windows.h>

#include "modemflash/downloader.h"

/* Member functions use thiscall on 32-bit x86 (the object in ECX, the callee pops the rest).
 * GCC and clang name it; Microsoft's C compiler has thiscall only in C++, and fastcall with an
 * unused second argument (EDX) passes the object the same way. x86_64 has one convention. */
#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_IX86)
#define MF_METHOD __fastcall
#define MF_SELF(type, name) type name, void *unusedEdx
#define MF_CALL(object, operation, ...) (object)->table->operation((object), NULL, __VA_ARGS__)
#else
#if defined(__i386__)
#define MF_METHOD __attribute__((thiscall))
#else
#define MF_METHOD
#endif
#define MF_SELF(type, name) type name
#define MF_CALL(object, operation, ...) (object)->table->operation((object), __VA_ARGS__)
#endif

typedef unsigned char mf_bool;
typedef struct Downloader Downloader;
typedef struct {
    mf_bool(MF_METHOD* Download)(MF_SELF(Downloader*, self), int32_t* result, int32_t ignored);
    mf_bool(MF_METHOD* SetFirmwareFolder)(MF_SELF(Downloader*, self), const char* folder);
    mf_bool(MF_METHOD* SetSink)(MF_SELF(Downloader*, self), void* sink);
    mf_bool(MF_METHOD* Reserved)(MF_SELF(Downloader*, self), int32_t value);
} DownloaderTable;
struct Downloader {
    const DownloaderTable* table;
};

typedef struct Sink Sink;
typedef struct {
    void(MF_METHOD* OnEvent)(MF_SELF(Sink*, self), struct DownloadEvent* event);
} SinkTable;
struct Sink {
    const SinkTable* table;
    int events; /* a host's own data may follow the table pointer */
};

static const char* resultWords(int32_t result) {
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

/* Takes the messages posted to this thread so far. A text lives in the library's slot until
 * the next text of its kind replaces it: print (or copy) it when its message is taken. */
static void takeMessages(void) {
    MSG msg;
    while (PeekMessageA(&msg, (HWND)-1, 0, 0, PM_REMOVE)) {
        const char* text = (const char*)msg.lParam;
        switch (msg.message) {
            case MSG_DL_PROGRESS:
                printf("  progress %d%%\n", (int)msg.lParam);
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

/* Called on the thread that runs Download, while it runs; the event lives only during the call. */
static void MF_METHOD onEvent(MF_SELF(Sink*, self), struct DownloadEvent* event) {
    takeMessages(); /* what was posted before this event */
    self->events++;
    printf("event %d, value %d\n", (int)event->code, (int)event->value);
    fflush(stdout);
}

static const SinkTable kSinkTable = {onEvent};

int main(int argc, char** argv) {
    Downloader* downloader;
    Sink sink = {&kSinkTable, 0};
    int32_t result = DOWNLOAD_FAILED;
    mf_bool updated;

    if (argc != 2) {
        fprintf(stderr, "usage: c_host FOLDER\n");
        return 2;
    }
    /* 1. The process's one downloader; it lives until the process ends (never free it). */
    downloader = (Downloader*)Create();
    if (downloader == NULL) {
        fprintf(stderr, "Create failed: out of memory\n");
        return 1;
    }
    MF_CALL(downloader, Reserved, 0); /* the fourth operation: no effect, always true */

    /* 2. The firmware folder: false when update_config.ini cannot be read, chooses nothing,
     *    or a chosen file is missing or too short. */
    if (!MF_CALL(downloader, SetFirmwareFolder, argv[1])) {
        fprintf(stderr, "the firmware folder %s was refused\n", argv[1]);
        return 3;
    }
    /* 3. The sink, which must outlive Download. */
    MF_CALL(downloader, SetSink, &sink);

    /* 4. The update: blocks until it has ended (a minute without a modem, minutes with one). */
    updated = MF_CALL(downloader, Download, &result, 0);
    takeMessages(); /* the last messages */
    printf("%d events; result %d: %s\n", sink.events, (int)result, resultWords(result));
    return updated ? 0 : 1;
}
