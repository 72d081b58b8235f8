// One modem's job in the station: its thread, its sink and what it reports.
#include "station/station_job.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "engine/job.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "modemflash/messages.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "report/log.h"
#include "report/notify.h"

namespace {

// The text the recovery posts once the modem is back in modem mode: the final checks follow.
const char kRecoveredText[] = "Recupero dati completato!";

const char* jobWords(int job) {
    switch (job) {
        case DL_OK:
            return "updated";
        case DL_FILE_OPEN_FAILED:
            return "a firmware file could not be opened";
        case DL_AT_FAILED:
            return "the modem refused or did not answer a command";
        case DL_TRANSFER_FAILED:
            return "the firmware transfer failed";
        case DL_MODE_SWITCH_FAILED:
            return "the modem could not be switched between modes, or its port did not come back";
        case DL_PROGRAM_FAILED:
            return "the modem refused to program the firmware";
        default:
            return "the final check failed (the modem's mode or autorun setting)";
    }
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

StationResult station_NotRun(const char* words) {
    StationResult r;
    r.jobResult = STATION_NOT_RUN;
    r.downloadResult = DOWNLOAD_FAILED;
    r.words = words;
    return r;
}

void Job::publish() {
    PortContext* c = ctx_Get(modem.portIndex);
    if (c != nullptr && c->isOpen && modem.portName != c->portName) {
        StationGuard g(station->lock);  // Running() reads the name from another thread
        modem.portName = c->portName;
    }
    if (station->listener) station->listener->OnModemStatus(modem, status);
}

void Job::setPortName(const char* name) {
    StationGuard g(station->lock);
    modem.portName = name;
}

void Job::setPhase(StationPhase phase) {
    if (status.phase == phase) return;
    status.phase = phase;
    status.phaseStartMs = clk_NowMs();
}

// Posted messages land in this thread's own queue: read them at every event and at the end.
void Job::drainMessages() {
    uint32_t id;
    intptr_t w, l;
    while (msg_Peek(&id, &w, &l, 1)) {
        if (id == MSG_DL_PROGRESS) {
            status.percent = static_cast<int>(l);
        } else if (id == MSG_DL_STATUS || id == MSG_DL_INFO) {
            status.text = reinterpret_cast<const char*>(l);
            if (id == MSG_DL_STATUS && status.text == kRecoveredText &&
                status.phase == STATION_RETURNING)
                setPhase(STATION_CHECKING_AUTORUN);
        }
    }
}

void Job::OnEvent(DownloadEvent* e) {
    drainMessages();
    status.percent = e->value;
    if (e->code == EVENT_ENTER_DOWNLOAD_MODE) {
        setPhase(STATION_ENTERING_LOADER);
    } else if (e->code == EVENT_RESET_TO_MODEM) {
        setPhase(STATION_RETURNING);
    } else if (e->code == EVENT_OPEN_AUTORUN) {
        setPhase(STATION_CHECKING_AUTORUN);
    } else if (e->code >= EVENT_LOADER && e->code <= EVENT_PRODUCT_CONFIG) {
        // The file events name the archive: the first one of another file starts its step;
        // the others carry the transfer's progress.
        for (size_t i = 0; i < files.size(); ++i) {
            if (sink_EventCode(files[i].c_str()) != e->code) continue;
            int index = static_cast<int>(i) + 1;
            if (index != status.fileIndex) {
                status.fileIndex = index;
                status.fileName = baseName(files[i]);
                status.phase = STATION_FINISHED;  // so that the sending phase starts anew
                setPhase(STATION_SENDING);
            }
            break;
        }
    }
    publish();
}

void CStation::Impl::logHook(void* user, int port, int isError, const char* text) {
    Impl* self = static_cast<Impl*>(user);
    Job* job = nullptr;
    {
        StationGuard g(self->lock);
        if (port >= 0 && port < STATION_MAX_MODEMS) job = self->jobs[port];
    }
    // Only the job's own thread logs on its port, so its status is touched on that thread.
    if (job == nullptr) return;
    // Two steps the engine announces only in its log: programming a file, and the final
    // checks once the modem is back in modem mode.
    StationPhase phase = job->status.phase;
    if (strstr(text, "Programing flash") != nullptr) phase = STATION_PROGRAMMING;
    if (strstr(text, "check the mode of modem") != nullptr) phase = STATION_CHECKING_AUTORUN;
    if (phase != job->status.phase) {
        job->setPhase(phase);
        job->publish();
    }
    if (self->listener) self->listener->OnModemLog(job->modem, isError, text);
}

void Job::run() {
    int port = modem.portIndex;
    status.startMs = status.phaseStartMs = clk_NowMs();
    if (station->listener) station->listener->OnModemStart(modem);
    publish();

    // The port at this location now, and whether another program holds it.
    CModemPortFinder finder;
    int32_t number = finder.FindComNumberAt(modem.location.c_str());
    char name[PORT_NAME_CAPACITY];
    snprintf(name, sizeof name, "COM%d", static_cast<int>(number));
    if (number <= 0) {
        result = station_NotRun("its port disappeared before the update began");
    } else if (com_Open(port, name) == nullptr) {
        setPortName(name);
        result = station_NotRun("its port could not be opened (is another program using it?)");
    } else {
        com_Close(port);
        setPortName(name);
        // The port index may have served another modem before: this one is identified anew
        // (the single-modem host keeps the once-per-library latches).
        mode_ResetInitLatches(port);
        int job = dl_RunJob(port, name, list.c_str());
        drainMessages();
        result.jobResult = job;
        result.downloadResult = DownloadResultOf(job);
        result.words = jobWords(job);
    }
    result.updated = result.downloadResult == DOWNLOAD_OK;
    result.seconds = static_cast<double>(clk_NowMs() - status.startMs) / 1000.0;
    setPhase(STATION_FINISHED);
    if (result.updated) status.percent = 100;
    publish();
    log_FlushPort(port);
}

namespace {

void jobMain(void* arg) {
    static_cast<Job*>(arg)->run();
    static_cast<Job*>(arg)->done = true;
}

}  // namespace

void CStation::Impl::begin() {
    log_SetHook(&Impl::logHook, this);
    log_SetConsole(consoleLog ? LOG_CONSOLE_ERROR : 0);
}

void CStation::Impl::end() {
    log_SetHook(nullptr, nullptr);
    log_SetConsole(LOG_CONSOLE_ALL);
}

// Prepares the modem's port index (location, label, sink, log file) and starts its thread.
// Null when all 16 indexes are in use or no thread could be had.
Job* CStation::Impl::start(const ModemPortInfo& port) {
    Job* job = mem_New<Job>();
    if (job == nullptr) return nullptr;
    int index = -1;
    {
        StationGuard g(lock);
        for (int i = 0; i < STATION_MAX_MODEMS && index < 0; ++i)
            if (jobs[i] == nullptr) index = i;
        if (index >= 0) jobs[index] = job;
    }
    if (index < 0) {
        delete job;
        return nullptr;
    }
    job->station = this;
    job->modem.portIndex = index;
    job->modem.location = port.location;
    job->modem.serialNumber = port.serialNumber;
    job->modem.portName = port.portName;
    job->modem.folder = folder;
    job->list = list;
    for (size_t s = 0, e; s <= list.size(); s = e + 1) {
        e = list.find(';', s);
        if (e == std::string::npos) e = list.size();
        if (e > s) job->files.push_back(list.substr(s, e - s));
    }
    job->status.fileCount = static_cast<int>(job->files.size());

    ctx_SetLocation(index, port.location.c_str());
    report_SetLabel(index, port.location.c_str());
    sink_SetForPort(index, job);
    if (!logDir.empty())
        log_OpenFile(index, (logDir + "/" + station_LogFileName(port.location)).c_str());
    job->thread = thread_Start(jobMain, job);
    if (job->thread == nullptr) {
        job->result = station_NotRun("no thread could be started for its update");
        job->done = true;
    }
    return job;
}

// Waits for the job's thread, frees its port index and reports the outcome.
StationOutcome CStation::Impl::finish(Job* job) {
    thread_Join(job->thread);
    int index = job->modem.portIndex;
    log_FlushPort(index);
    log_CloseFile(index);
    sink_SetForPort(index, nullptr);
    report_SetLabel(index, nullptr);
    ctx_SetLocation(index, nullptr);
    {
        StationGuard g(lock);
        jobs[index] = nullptr;
    }
    StationOutcome o{job->modem, job->result};
    if (listener) listener->OnModemFinish(o.modem, o.result);
    delete job;
    return o;
}
