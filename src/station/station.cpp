// The station: one download job per modem, each on its own thread and port index.
#include "station/station.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <new>

#include "engine/job.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "host/downloader.h"
#include "modemflash/messages.h"
#include "platform/clock.h"
#include "platform/lock.h"
#include "platform/messages.h"
#include "platform/thread.h"
#include "portscan/modem_port_finder.h"
#include "report/log.h"
#include "report/notify.h"

namespace {

const uint32_t kWatchPollMs = 1000;  // how often station mode looks for new modems
const uint32_t kWaitStepMs = 50;

// The text the recovery posts once the modem is back in modem mode: the final checks follow.
const char kRecoveredText[] = "Recupero dati completato!";

class Guard {
  public:
    explicit Guard(PlatformLock* lock) : lock_(lock) { lock_Acquire(lock_); }
    ~Guard() { lock_Release(lock_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    PlatformLock* lock_;
};

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

StationResult notRun(const char* words) {
    StationResult r;
    r.jobResult = STATION_NOT_RUN;
    r.downloadResult = DOWNLOAD_FAILED;
    r.words = words;
    return r;
}

// A file name usable on every system, from a location.
std::string fileNameOf(const std::string& location) {
    std::string name = location;
    for (char& c : name) {
        bool keep = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    c == '-' || c == '.' || c == '_' || c == '#';
        if (!keep) c = '_';
    }
    return name.empty() ? "unknown" : name;
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Every modem port present now, one per location (a device with two modem ports counts
// once), in location order; ports without a location are left to the single-modem host.
std::vector<ModemPortInfo> presentModems() {
    std::vector<ModemPortInfo> all = ports_ListModems();
    std::vector<ModemPortInfo> out;
    for (const ModemPortInfo& p : all) {
        if (p.location.empty()) continue;
        bool seen = false;
        for (const ModemPortInfo& q : out) seen = seen || q.location == p.location;
        if (!seen) out.push_back(p);
    }
    std::sort(out.begin(), out.end(), [](const ModemPortInfo& a, const ModemPortInfo& b) {
        return station_LocationLess(a.location, b.location);
    });
    return out;
}

}  // namespace

struct Job final : public IDownloadSink {
    CStation::Impl* station = nullptr;
    StationModem modem;
    StationStatus status;
    StationResult result;
    std::vector<std::string> files;  // the list's paths, in order
    std::string list;
    PlatformThread* thread = nullptr;
    std::atomic<bool> done{false};

    void OnEvent(DownloadEvent* e) override;
    void drainMessages();
    void setPhase(StationPhase phase);
    void publish();
    void setPortName(const char* name);
    void run();
};

struct CStation::Impl {
    // Guards the job table, the port indexes in use, the listener, the folder, the list and
    // the log settings between the thread that runs RunOnce or Watch and the jobs' threads.
    PlatformLock* lock = lock_Create();
    std::unique_ptr<CDownloader> config;  // reads the folder as the host does; never downloads
    std::string folder;
    std::string list;
    bool folderSet = false;
    IStationListener* listener = nullptr;
    std::string logDir;
    bool consoleLog = true;
    Job* jobs[STATION_MAX_MODEMS] = {};  // the job on each port index, or null
    std::atomic<bool> stop{false};

    ~Impl() { lock_Destroy(lock); }

    static void logHook(void* user, int port, int isError, const char* text);
    void begin();
    void end();
    Job* start(const ModemPortInfo& port);
    StationOutcome finish(Job* job);
    void notice(const std::string& text) {
        if (listener) listener->OnNotice(text.c_str());
    }
};

void Job::publish() {
    PortContext* c = ctx_Get(modem.portIndex);
    if (c != nullptr && c->isOpen && modem.portName != c->portName) {
        Guard g(station->lock);  // Running() reads the name from another thread
        modem.portName = c->portName;
    }
    if (station->listener) station->listener->OnModemStatus(modem, status);
}

void Job::setPortName(const char* name) {
    Guard g(station->lock);
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
        Guard g(self->lock);
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
        result = notRun("its port disappeared before the update began");
    } else if (com_Open(port, name) == nullptr) {
        setPortName(name);
        result = notRun("its port could not be opened (is another program using it?)");
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
    Job* job = new (std::nothrow) Job;
    if (job == nullptr) return nullptr;
    int index = -1;
    {
        Guard g(lock);
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
    report_Port(index)->boxAsLog = 1;  // no modal box per modem: its line says what failed
    sink_SetForPort(index, job);
    if (!logDir.empty())
        log_OpenFile(index, (logDir + "/" + fileNameOf(port.location) + ".log").c_str());
    job->thread = thread_Start(jobMain, job);
    if (job->thread == nullptr) {
        job->result = notRun("no thread could be started for its update");
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
    report_Port(index)->boxAsLog = 0;
    ctx_SetLocation(index, nullptr);
    {
        Guard g(lock);
        jobs[index] = nullptr;
    }
    StationOutcome o{job->modem, job->result};
    if (listener) listener->OnModemFinish(o.modem, o.result);
    delete job;
    return o;
}

CStation::CStation() : impl_(new Impl) {}

CStation::~CStation() {
    delete impl_;
}

bool CStation::SetFirmwareFolder(const char* folder) {
    Guard g(impl_->lock);
    impl_->config.reset(new CDownloader());  // every folder is read afresh, categories too
    impl_->folderSet = impl_->config->SetFirmwareFolder(folder);
    impl_->folder = folder ? folder : "";
    impl_->list = impl_->folderSet ? impl_->config->BuildFileList() : std::string();
    return impl_->folderSet;
}

void CStation::SetListener(IStationListener* listener) {
    Guard g(impl_->lock);
    impl_->listener = listener;
}

void CStation::SetLogDirectory(const char* dir) {
    Guard g(impl_->lock);
    impl_->logDir = dir ? dir : "";
}

void CStation::SetConsoleLog(bool on) {
    Guard g(impl_->lock);
    impl_->consoleLog = on;
}

void CStation::RequestStop() {
    impl_->stop = true;
}

bool CStation::StopRequested() const {
    return impl_->stop;
}

std::vector<StationModem> CStation::Running() const {
    std::vector<StationModem> running;
    Guard g(impl_->lock);
    for (Job* job : impl_->jobs)
        if (job != nullptr && !job->done) running.push_back(job->modem);
    return running;
}

std::vector<StationOutcome> CStation::RunOnce(const std::vector<std::string>& locations) {
    std::vector<StationOutcome> outcomes;
    if (!impl_->folderSet) {
        impl_->notice("no firmware folder has been accepted: nothing is updated");
        return outcomes;
    }
    std::vector<ModemPortInfo> present = presentModems();
    std::vector<ModemPortInfo> chosen;
    if (locations.empty()) {
        chosen = present;
    } else {
        std::vector<std::string> asked;
        for (const std::string& l : locations) {
            if (std::find(asked.begin(), asked.end(), l) != asked.end()) {
                impl_->notice("location " + l + " is given more than once: it is updated once");
                continue;
            }
            asked.push_back(l);
            auto it = std::find_if(present.begin(), present.end(),
                                   [&](const ModemPortInfo& p) { return p.location == l; });
            if (it != present.end()) {
                chosen.push_back(*it);
            } else {
                impl_->notice("no modem port at location " + l);
                StationOutcome o;
                o.modem.location = l;
                o.modem.folder = impl_->folder;
                o.result = notRun("no modem port at this location");
                outcomes.push_back(o);
            }
        }
        std::sort(chosen.begin(), chosen.end(), [](const ModemPortInfo& a, const ModemPortInfo& b) {
            return station_LocationLess(a.location, b.location);
        });
    }
    if (chosen.size() > STATION_MAX_MODEMS) {
        std::string names;
        for (size_t i = STATION_MAX_MODEMS; i < chosen.size(); ++i) {
            names += " " + chosen[i].location;
            StationOutcome o;
            o.modem.location = chosen[i].location;
            o.modem.serialNumber = chosen[i].serialNumber;
            o.modem.portName = chosen[i].portName;
            o.modem.folder = impl_->folder;
            o.result = notRun("left out: at most 16 modems are updated at once");
            outcomes.push_back(o);
        }
        impl_->notice(std::to_string(chosen.size()) + " modems present, at most " +
                      std::to_string(STATION_MAX_MODEMS) + " at once; left out:" + names);
        chosen.resize(STATION_MAX_MODEMS);
    }

    impl_->begin();
    std::vector<Job*> jobs;
    for (const ModemPortInfo& p : chosen) {
        if (impl_->stop) {
            StationOutcome o;
            o.modem.location = p.location;
            o.modem.serialNumber = p.serialNumber;
            o.modem.folder = impl_->folder;
            o.result = notRun("not started: the station was stopped");
            outcomes.push_back(o);
            continue;
        }
        if (Job* job = impl_->start(p)) jobs.push_back(job);
    }
    for (Job* job : jobs) outcomes.push_back(impl_->finish(job));
    impl_->end();
    std::stable_sort(outcomes.begin(), outcomes.end(),
                     [](const StationOutcome& a, const StationOutcome& b) {
                         return station_LocationLess(a.modem.location, b.modem.location);
                     });
    return outcomes;
}

std::vector<StationOutcome> CStation::Watch() {
    std::vector<StationOutcome> outcomes;
    if (!impl_->folderSet) {
        impl_->notice("no firmware folder has been accepted: nothing is updated");
        return outcomes;
    }
    impl_->begin();
    std::vector<Job*> running;
    // The modem last updated at each location (by serial number), for as long as it stays.
    std::map<std::string, std::string> updated;
    bool leftOutSaid = false;
    while (!impl_->stop) {
        for (size_t i = 0; i < running.size();) {
            if (!running[i]->done) {
                ++i;
                continue;
            }
            std::string serial = running[i]->modem.serialNumber;
            std::string location = running[i]->modem.location;
            outcomes.push_back(impl_->finish(running[i]));
            updated[location] = serial;
            running.erase(running.begin() + static_cast<long>(i));
        }
        std::vector<ModemPortInfo> present = presentModems();
        for (auto it = updated.begin(); it != updated.end();) {
            auto here = std::find_if(present.begin(), present.end(), [&](const ModemPortInfo& p) {
                return p.location == it->first && p.serialNumber == it->second;
            });
            it = here == present.end() ? updated.erase(it) : std::next(it);  // unplugged
        }
        for (const ModemPortInfo& p : present) {
            if (impl_->stop) break;
            if (updated.count(p.location)) continue;
            bool busy = false;
            for (Job* job : running) busy = busy || job->modem.location == p.location;
            if (busy) continue;
            if (running.size() >= STATION_MAX_MODEMS) {
                if (!leftOutSaid) impl_->notice("16 updates are running: " + p.location + " waits");
                leftOutSaid = true;
                break;
            }
            if (Job* job = impl_->start(p)) running.push_back(job);
        }
        for (uint32_t waited = 0; waited < kWatchPollMs && !impl_->stop; waited += kWaitStepMs)
            clk_SleepMs(kWaitStepMs);
    }
    if (!running.empty()) {
        std::string names;
        for (Job* job : running) names += " " + job->modem.location;
        impl_->notice("stopping: no new updates; waiting for the running ones:" + names);
    }
    for (Job* job : running) outcomes.push_back(impl_->finish(job));
    impl_->end();
    return outcomes;
}

bool station_LocationLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::string station_LogFileName(const std::string& location) {
    return fileNameOf(location) + ".log";
}
