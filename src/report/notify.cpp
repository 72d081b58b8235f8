// Posted messages with their text slots, and events to the host's sink.
#include "report/notify.h"

#include <stdint.h>
#include <string.h>

#include <atomic>

#include "platform/messages.h"
#include "report/firmware_set.h"
#include "report/job_observer.h"
#include "report/port_report.h"

namespace {

// One slot per kind and port index. Only the thread running a port's job writes that port's
// slots, so jobs on different ports never share one and the slots need no lock.
char g_statusTexts[REPORT_PORT_COUNT][TEXT_SLOT_SIZE];
char g_resultTexts[REPORT_PORT_COUNT][TEXT_SLOT_SIZE];
char g_infoTexts[REPORT_PORT_COUNT][TEXT_SLOT_SIZE];
// The host's sink, and a sink per port that takes precedence over it (set by a station for
// the job it runs on that port). Atomic: a host may register while jobs read them.
std::atomic<IDownloadSink*> g_sink{nullptr};
std::atomic<IDownloadSink*> g_portSinks[REPORT_PORT_COUNT];

struct EventFragment {
    const char* fragment;
    int code;
};

// The event table after the seven firmware files (firmware_set.h, by their search rank).
const EventFragment kOtherEvents[] = {
    {"openautorun", EVENT_OPEN_AUTORUN},
    {"closeautorun", EVENT_CLOSE_AUTORUN},
    {"success", EVENT_SUCCESS},
    {"enterdownloadmode", EVENT_ENTER_DOWNLOAD_MODE},
    {"resettomodem", EVENT_RESET_TO_MODEM},
    {"begindownload", EVENT_BEGIN_DOWNLOAD},
};

// The whole table, searched in this order: the first fragment contained in the name decides.
struct EventTable {
    EventFragment entries[FIRMWARE_FILE_COUNT + sizeof kOtherEvents / sizeof kOtherEvents[0]];
    EventTable() {
        for (const FirmwareFileSpec& f : g_firmwareSet)
            entries[f.eventSearchRank] = EventFragment{f.name, f.eventCode};
        size_t n = FIRMWARE_FILE_COUNT;
        for (const EventFragment& e : kOtherEvents) entries[n++] = e;
    }
};
const EventTable kEventCodes;

char* slotOf(unsigned messageId, int port) {
    if (report_Port(port) == nullptr) return nullptr;
    switch (messageId) {
        case MSG_DL_STATUS:
            return g_statusTexts[port];
        case MSG_DL_RESULT:
            return g_resultTexts[port];
        case MSG_DL_INFO:
            return g_infoTexts[port];
        default:
            return nullptr;
    }
}

void postText(unsigned messageId, int port, const char* text) {
    char* slot = slotOf(messageId, port);
    if (slot == nullptr) return;
    memset(slot, 0, TEXT_SLOT_SIZE);
    if (text != nullptr) {
        size_t n = strlen(text);
        memcpy(slot, text, n < TEXT_SLOT_SIZE - 1 ? n : TEXT_SLOT_SIZE - 1);
    }
    msg_Post(messageId, port, reinterpret_cast<intptr_t>(slot));
}

}  // namespace

void notify_Progress(int port, int percent) {
    msg_Post(MSG_DL_PROGRESS, port, percent);
}
void notify_Text(int port, unsigned messageId, int meaning, const char* text) {
    postText(messageId, port, text);
    if (slotOf(messageId, port) != nullptr) report_Text(port, messageId, meaning, text ? text : "");
}
void notify_Status(int port, const char* text) {
    notify_Text(port, MSG_DL_STATUS, JOB_TEXT_OTHER, text);
}
void notify_Result(int port, const char* text) {
    notify_Text(port, MSG_DL_RESULT, JOB_TEXT_OTHER, text);
}
void notify_Info(int port, const char* text) {
    notify_Text(port, MSG_DL_INFO, JOB_TEXT_OTHER, text);
}

const char* notify_Slot(unsigned messageId, int port) {
    return slotOf(messageId, port);
}

int sink_EventCode(const char* name) {
    if (name != nullptr) {
        for (const EventFragment& e : kEventCodes.entries)
            if (strstr(name, e.fragment) != nullptr) return e.code;
    }
    return EVENT_UNKNOWN;
}

void sink_Send(int port, int code, int value) {
    DownloadEvent event;
    event.reserved1 = 0;
    event.reserved2 = 0;
    event.code = code;
    event.value = value;
    IDownloadSink* sink = report_Port(port) ? g_portSinks[port].load() : nullptr;
    if (sink == nullptr) sink = g_sink.load();
    if (sink != nullptr) sink->OnEvent(&event);
    report_Event(port, code, value);
}

void sink_Event(int port, int value, const char* name) {
    sink_Send(port, sink_EventCode(name), value);
}

void sink_Set(IDownloadSink* sink) {
    g_sink = sink;
}
IDownloadSink* sink_Get(void) {
    return g_sink;
}

void sink_SetForPort(int port, IDownloadSink* sink) {
    if (report_Port(port) != nullptr) g_portSinks[port] = sink;
}
