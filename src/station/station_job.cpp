// One modem's job in the station: its thread, its sink and what it reports.
#include "station/station_job.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "engine/job.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "locator/probe_port.h"
#include "modemflash/messages.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/serial.h"
#include "portscan/modem_claim.h"
#include "report/log.h"
#include "report/notify.h"
#include "report/port_report.h"
#include "report/wait.h"

namespace {

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
        LockGuard g(station->lock);  // Running() reads the name from another thread
        modem.portName = c->portName;
    }
    if (station->listener) station->listener->OnModemStatus(modem, status);
}

void Job::setPortName(const char* name) {
    LockGuard g(station->lock);
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
        if (id == MSG_DL_PROGRESS)
            status.percent = static_cast<int>(l);
        else if (id == MSG_DL_STATUS || id == MSG_DL_INFO)
            status.text = reinterpret_cast<const char*>(l);
    }
}

static_assert(static_cast<int>(JOB_PROBING) == STATION_PROBING &&
                  static_cast<int>(JOB_ENTERING_LOADER) == STATION_ENTERING_LOADER &&
                  static_cast<int>(JOB_SENDING) == STATION_SENDING &&
                  static_cast<int>(JOB_PROGRAMMING) == STATION_PROGRAMMING &&
                  static_cast<int>(JOB_RETURNING) == STATION_RETURNING &&
                  static_cast<int>(JOB_CHECKING) == STATION_CHECKING_AUTORUN &&
                  static_cast<int>(JOB_FINISHED) == STATION_FINISHED,
              "a station's phases are the job's");

void Job::OnPhase(int, JobPhase phase, int fileIndex) {
    // The job's end is the station's to announce, with the modem's result.
    if (phase == JOB_FINISHED) return;
    drainMessages();
    setPhase(static_cast<StationPhase>(phase));
    if (fileIndex > 0) status.fileIndex = fileIndex;
    // A file's step is published with its name, once OnFileStart has it.
    if (phase != JOB_SENDING) publish();
}

void Job::OnFileStart(int, int fileIndex, int fileCount, const char* path) {
    status.fileIndex = fileIndex;
    status.fileCount = fileCount;
    status.fileName = baseName(path);
    status.blocksSent = 0;
    fileEvents_ = 0;
    publish();
}

void Job::OnEvent(int, int code, int value) {
    drainMessages();
    status.percent = value;
    // A file's first event starts its step; each one after it goes with a data block.
    if (code >= EVENT_LOADER && code <= EVENT_PRODUCT_CONFIG && ++fileEvents_ > 1)
        status.blocksSent = fileEvents_ - 1;
    publish();
}

void Job::OnFileEnd(int, int fileIndex, bool programmed) {
    if (station->listener) station->listener->OnModemFileEnd(modem, fileIndex, programmed);
}

void Job::OnFailure(int, const JobFailure& failure) {
    result.failedStep = failure.step;
    result.failure = failure.words;
}

void CStation::Impl::logHook(void* user, int port, int isError, const char* text) {
    Impl* self = static_cast<Impl*>(user);
    Job* job = nullptr;
    {
        LockGuard g(self->lock);
        if (port >= 0 && port < STATION_MAX_MODEMS) job = self->jobs[port];
    }
    if (job == nullptr) return;
    if (self->listener) self->listener->OnModemLog(job->modem, isError, text);
}

// A line of the modem's own log, whatever its log level (the job sets it only later).
void Job::say(const std::string& text) {
    PortReport* report = report_Port(modem.portIndex);
    int level = report->logLevel;
    if (level < 2) report->logLevel = 2;
    log_Error(modem.portIndex, "%s\n", text.c_str());
    report->logLevel = level;
}

void Job::OnWait(int, const WaitNotice& notice) {
    status.wait = notice;
    status.waitStartMs = clk_NowMs();
    publish();
}

void Job::leaveOut(int reason, const std::string& words) {
    result = station_NotRun(words.c_str());
    result.leftOut = reason;
}

// Finds the modem's port at its location and probes it as the single-modem host's search
// does ("AT\r", then "ATI\r"; up to MAX_SEARCH_PASSES passes, SEARCH_PASS_PAUSE_MS apart):
// a modem just plugged in is given the time to get ready. The probe's port is closed again
// before the job opens its own. The port's name on success; "" with the result set when no
// modem answered.
std::string Job::probe() {
    int port = modem.portIndex;
    CModemPortFinder finder;
    CAtProber prober;
    bool busy = false, seen = false;
    int32_t number = 0;
    char name[PORT_NAME_CAPACITY] = "";
    for (int pass = 1; pass <= MAX_SEARCH_PASSES; ++pass) {
        if (station->stop) {
            wait_End(port);
            leaveOut(STATION_STOPPED, "not started: the station was stopped");
            return "";
        }
        number = finder.FindComNumberAt(modem.location.c_str());
        busy = false;
        if (number > 0) {
            seen = true;
            snprintf(name, sizeof name, "COM%d", static_cast<int>(number));
            setPortName(name);
            if (prober.Port().Open(number, 115200, 8, 1)) {
                bool answered = prober.Probe();
                prober.Port().Close();
                if (answered) {
                    wait_End(port);
                    return name;
                }
            } else {
                busy = serial_LastOpenWasBusy() != 0;
            }
        }
        if (pass < MAX_SEARCH_PASSES) {
            WaitNotice w = {};
            w.kind = busy ? WAIT_PORT_BUSY : WAIT_MODEM;
            w.attempt = pass + 1;
            w.attempts = MAX_SEARCH_PASSES;
            w.upToSeconds =
                static_cast<int64_t>(MAX_SEARCH_PASSES - pass) * SEARCH_PASS_PAUSE_MS / 1000;
            snprintf(w.command, sizeof w.command, "%s", name);
            if (status.wait.kind != w.kind) wait_Notify(port, &w);
            clk_SleepMs(SEARCH_PASS_PAUSE_MS);
        }
    }
    wait_End(port);
    char why[160];
    if (busy) {
        snprintf(why, sizeof why,
                 "busy: its port %s is held by another program (it opens for one program at a "
                 "time)",
                 name);
        leaveOut(STATION_BUSY, why);
    } else if (!seen || number <= 0) {
        leaveOut(STATION_PORT_GONE, "its port went away before the update began");
    } else {
        snprintf(why, sizeof why, "no modem answered the probe on %s within %d search passes", name,
                 MAX_SEARCH_PASSES);
        leaveOut(STATION_NO_ANSWER, why);
    }
    return "";
}

void Job::run() {
    int port = modem.portIndex;
    status.startMs = status.phaseStartMs = clk_NowMs();
    if (station->listener) station->listener->OnModemStart(modem);
    publish();

    // The modem belongs to this update from its probe to its last check, through every mode
    // switch and reopen: its lock is taken before its port is first opened.
    CModemClaim claim;
    int claimed = claim.Take(modem.location, modem.serialNumber, modem.portName);
    std::string name;
    if (claimed == CLAIM_HELD) {
        char holder[512];
        modemlock_Describe(&claim.Holder(), holder, sizeof holder);
        leaveOut(STATION_LOCKED,
                 "left out: another process is updating it: " + std::string(holder));
        result.holder = holder;
        say("#Error: " + claim.Words(claimed));
    } else {
        if (claimed == CLAIM_TAKEN_OVER) say("warning: " + claim.Words(claimed));
        if (claimed == CLAIM_UNLOCKED) say("#Warning: " + claim.Words(claimed));
        name = probe();
    }
    if (!name.empty()) {
        // The port index may have served another modem before: this one is identified anew
        // (the single-modem host keeps the once-per-library latches).
        mode_ResetInitLatches(port);
        int job = dl_RunJob(port, name.c_str(), list.c_str());
        drainMessages();
        result.jobResult = job;
        result.downloadResult = DownloadResultOf(job);
        result.words = dl_ResultWords(result.downloadResult, report_LastFailure(port));
        if (const ModemLeft* left = dl_ModemLeft(port)) {
            result.left = *left;
            if (result.downloadResult != DOWNLOAD_OK) {
                char words[512];
                result.leftWords = dl_DescribeLeft(left, words, sizeof words);
            }
        }
    }
    claim.Release();  // after the last check
    result.updated = result.downloadResult == DOWNLOAD_OK;
    result.seconds = static_cast<double>(clk_NowMs() - status.startMs) / 1000.0;
    setPhase(STATION_FINISHED);
    status.wait = WaitNotice{};
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
        LockGuard g(lock);
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
    job->status.fileCount = fileCount;

    ctx_SetLocation(index, port.location.c_str());
    report_SetLabel(index, port.location.c_str());
    report_Port(index)->boxAsLog = 1;  // no modal box per modem: its line says what failed
    report_SetPortObserver(index, job);
    if (!logDir.empty())
        log_OpenFile(index, (logDir + "/" + station_LogFileName(port.location)).c_str());
    job->thread = thread_Start(jobMain, job);
    if (job->thread == nullptr) {
        job->result = station_NotRun("no thread could be started for its update");
        job->result.leftOut = STATION_NO_THREAD;
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
    report_SetPortObserver(index, nullptr);
    report_SetLabel(index, nullptr);
    report_Port(index)->boxAsLog = 0;
    ctx_SetLocation(index, nullptr);
    {
        LockGuard g(lock);
        jobs[index] = nullptr;
    }
    StationOutcome o{job->modem, job->result};
    if (listener) listener->OnModemFinish(o.modem, o.result);
    delete job;
    mem_ReturnFreed();  // a station runs for days: each update's freed memory goes back
    return o;
}
