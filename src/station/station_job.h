// Inside the station: one modem's job (its thread, its sink, what it reports) and the
// station's shared state. Only the station's own files include this.
#ifndef MODEMFLASH_STATION_STATION_JOB_H
#define MODEMFLASH_STATION_STATION_JOB_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "modemflash/downloader.h"
#include "platform/lock.h"
#include "platform/thread.h"
#include "portscan/modem_port_finder.h"
#include "report/job_observer.h"
#include "station/station.h"

// A result for a modem whose job did not run, with the reason in words.
StationResult station_NotRun(const char* words);

// A modem's job: the observer of its port index (phases, files, events, its failure).
struct Job final : public IJobObserver {
    CStation::Impl* station = nullptr;
    StationModem modem;
    StationStatus status;
    int64_t fileEvents_ = 0;  // events of the current file (its first, then one a block)
    StationResult result;
    std::string list;
    PlatformThread* thread = nullptr;
    std::atomic<bool> done{false};

    void OnPhase(int port, JobPhase phase, int fileIndex) override;
    void OnFileStart(int port, int fileIndex, int fileCount, const char* path) override;
    void OnEvent(int port, int code, int value) override;
    void OnFileEnd(int port, int fileIndex, bool programmed) override;
    void OnFailure(int port, const JobFailure& failure) override;
    void OnWait(int port, const WaitNotice& notice) override;
    void drainMessages();
    void setPhase(StationPhase phase);
    void publish();
    void setPortName(const char* name);
    void say(const std::string& text);
    void leaveOut(int reason, const std::string& words);
    std::string probe();
    void run();
};

struct CStation::Impl {
    // Guards the job table, the port indexes in use, the listener, the folder, the list and
    // the log settings between the thread that runs RunOnce or Watch and the jobs' threads.
    PlatformLock* lock = lock_Create();
    std::string folder;
    std::string list;
    int fileCount = 0;  // files in the list
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

#endif
