/* A host written in plain C, as hosts in other languages see the library: the downloader is
 * a pointer to a table of four function pointers (Download, SetFirmwareFolder, SetSink,
 * Reserved), each taking the object first; bool is one byte. MF_MEMBER_CALL is the calling
 * convention of member functions (thiscall on 32-bit x86, the normal one on x86_64), given by
 * the build.
 *
 *   abi_host FOLDER            no modem present: checks every operation and the failed search
 *   abi_host FOLDER --modem    a modem is present: Download must succeed and the sink must
 *                              receive the events of a whole update
 *
 * FOLDER is created by the build; this program writes its update_config.ini. Prints one line
 * per check and "abi: all checks passed" at the end; the exit code is the number of failures.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "modemflash/downloader.h"

#ifndef MF_MEMBER_CALL
#error "the build defines MF_MEMBER_CALL"
#endif

typedef unsigned char mf_bool; /* one byte, returned in the low byte of the result register */

typedef struct CDownloaderObject CDownloaderObject;
typedef struct {
    mf_bool(MF_MEMBER_CALL* Download)(CDownloaderObject* self, int32_t* result, int32_t ignored);
    mf_bool(MF_MEMBER_CALL* SetFirmwareFolder)(CDownloaderObject* self, const char* folder);
    mf_bool(MF_MEMBER_CALL* SetSink)(CDownloaderObject* self, void* sink);
    mf_bool(MF_MEMBER_CALL* Reserved)(CDownloaderObject* self, int32_t value);
} DownloaderTable;
struct CDownloaderObject {
    const DownloaderTable* table;
};

/* The host's sink: its table's first entry receives the events. */
typedef struct CSink CSink;
typedef struct {
    void(MF_MEMBER_CALL* OnEvent)(CSink* self, struct DownloadEvent* event);
} SinkTable;
struct CSink {
    const SinkTable* table;
    uint32_t guard; /* proves that self arrives as the object the table belongs to */
    int count;
    int badReserved;
    struct DownloadEvent events[256];
};

#define SINK_GUARD 0x51C0FFEEu

static void MF_MEMBER_CALL sinkOnEvent(CSink* self, struct DownloadEvent* event) {
    if (self->guard != SINK_GUARD || event == NULL) {
        self->badReserved++;
        return;
    }
    if (event->reserved1 != 0 || event->reserved2 != 0) self->badReserved++;
    if (self->count < (int)(sizeof self->events / sizeof self->events[0]))
        self->events[self->count] = *event;
    self->count++;
}

static const SinkTable kSinkTable = {sinkOnEvent};

static int g_failures;

static void check(int ok, const char* what) {
    printf("abi: %s %s\n", ok ? "ok" : "FAILED", what);
    fflush(stdout);
    if (!ok) g_failures++;
}

static int writeConfig(const char* folder, const char* categories) {
    char path[1024];
    FILE* f;
    snprintf(path, sizeof path, "%s/update_config.ini", folder);
    f = fopen(path, "wb");
    if (f == NULL) return 0;
    fprintf(f, "[update flag]\r\nupdate_cat=%s\r\n", categories);
    fclose(f);
    return 1;
}

static int sawEvent(const CSink* sink, int32_t code, int32_t value) {
    int i;
    int n = sink->count < 256 ? sink->count : 256;
    for (i = 0; i < n; ++i)
        if (sink->events[i].code == code && sink->events[i].value == value) return 1;
    return 0;
}

int main(int argc, char** argv) {
    CDownloaderObject* d;
    CSink sink;
    struct {
        uint32_t before;
        int32_t result;
        uint32_t after;
    } out;
    char missing[1024];
    int withModem = argc > 2 && strcmp(argv[2], "--modem") == 0;
    int i;
    mf_bool ok;

    if (argc < 2) {
        fprintf(stderr, "usage: abi_host FOLDER [--modem]\n");
        return 100;
    }

    d = (CDownloaderObject*)Create();
    check(d != NULL && d->table != NULL, "Create returns an object with an operation table");
    if (d == NULL) return 1;
    check((CDownloaderObject*)Create() == d, "a second Create returns the same object");

    /* Reserved: true for any argument; called often, so that a wrong convention (who pops
     * the arguments) would wreck the stack and end the program here. */
    ok = 1;
    for (i = 0; i < 1000; ++i) ok = (mf_bool)(ok && d->table->Reserved(d, i * 7919 - 500000) == 1);
    check(ok, "Reserved returns true (1000 calls)");

    snprintf(missing, sizeof missing, "%s/no-such-folder", argv[1]);
    check(d->table->SetFirmwareFolder(d, missing) == 0,
          "SetFirmwareFolder of a missing folder is false");

    check(writeConfig(argv[1], "-1"), "update_config.ini written");
    check(d->table->SetFirmwareFolder(d, argv[1]) == 0,
          "SetFirmwareFolder with update_cat=-1 is false");

    if (!withModem) {
        /* Categories that name no files: true, and Download gets an empty list. */
        check(writeConfig(argv[1], "1;2;3"), "update_config.ini rewritten");
        check(d->table->SetFirmwareFolder(d, argv[1]) == 1,
              "SetFirmwareFolder with update_cat=1;2;3 is true");
    } else {
        check(writeConfig(argv[1], "7;8;9"), "update_config.ini rewritten");
        check(d->table->SetFirmwareFolder(d, argv[1]) == 1,
              "SetFirmwareFolder with the firmware present is true");
    }

    memset(&sink, 0, sizeof sink);
    sink.table = &kSinkTable;
    sink.guard = SINK_GUARD;
    check(d->table->SetSink(d, &sink) == 1, "SetSink returns true");

    out.before = 0xA5A5A5A5u;
    out.result = 0x7777;
    out.after = 0x5A5A5A5Au;
    ok = d->table->Download(d, &out.result, 0x13572468);
    check(out.before == 0xA5A5A5A5u && out.after == 0x5A5A5A5Au,
          "Download writes exactly the 32-bit result code");
    printf("abi: Download returned %d with result %d; the sink received %d events\n", (int)ok,
           (int)out.result, sink.count);
    if (!withModem) {
        check(ok == 0 && out.result == DOWNLOAD_FAILED,
              "without a modem Download is false with result 0");
        check(sink.count == 0, "without a modem the sink receives no event");
    } else {
        check(ok == 1 && out.result == DOWNLOAD_OK, "with a modem Download is true with result 1");
        check(sawEvent(&sink, EVENT_ENTER_DOWNLOAD_MODE, 1),
              "the sink received enterdownloadmode (5) with 1");
        check(sawEvent(&sink, EVENT_RESET_TO_MODEM, 95),
              "the sink received resettomodem (31) with 95");
        check(sawEvent(&sink, EVENT_SUCCESS, 100), "the sink received success (23) with 100");
        check(sink.count > 0 &&
                  sink.events[sink.count < 256 ? sink.count - 1 : 255].code == EVENT_SUCCESS,
              "success is the last event");
    }
    check(sink.badReserved == 0, "every event came to this sink with zero reserved fields");

    /* The object still answers after a whole Download. */
    check(d->table->Reserved(d, -1) == 1, "Reserved after Download returns true");

    if (g_failures == 0)
        printf("abi: all checks passed\n");
    else
        printf("abi: %d checks failed\n", g_failures);
    return g_failures;
}
