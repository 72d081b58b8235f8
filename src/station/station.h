// The station: updates up to 16 modems at once, each followed by where it is plugged in.
//
// A modem's identity is its USB location (bus and hub ports, "1-1.3"; on Windows the USB
// device's location text), with its USB serial number beside it. Its port's name changes at
// every mode switch and may pass to another modem, so every job runs on a port context that
// knows its modem's location, and every reopen looks for the port at that location.
//
// The station drives the engine as the host interface does (firmware folder, file list,
// dl_RunJob), with one job per modem, each on its own thread and its own port index 0..15.
// It is a C++ API for host programs, linked statically (CMake target mf_station); the DLL's
// export table stays the host contract, `Create` alone.
//
//   class Screen : public IStationListener { ... };     // called from the modems' threads
//   CStation station;
//   if (!station.SetFirmwareFolder("C:\\fw")) ...;       // as IDownloader::SetFirmwareFolder
//   station.SetListener(&screen);
//   std::vector<StationOutcome> done = station.RunOnce({});   // every modem present now
//   // or station.RunOnce({"1-1.2", "1-1.4"}), or station.Watch() until RequestStop()
//
// Each listener call names its modem (StationModem); calls for different modems come from
// different threads at the same time, so a listener guards its own state. A listener must
// not call back into the station, except RequestStop.
#ifndef MODEMFLASH_STATION_STATION_H
#define MODEMFLASH_STATION_STATION_H

#include <stdint.h>

#include <string>
#include <vector>

#include "engine/port_context.h"
#include "report/wait.h"

#define STATION_MAX_MODEMS 16

// Where an update stands.
enum StationPhase {
    STATION_PROBING = 0,           // the port is opened and the modem identified
    STATION_ENTERING_LOADER = 1,   // switching to loader mode (20 s pause, reopen)
    STATION_SENDING = 2,           // sending file k of n
    STATION_PROGRAMMING = 3,       // the modem programs file k of n into its flash
    STATION_RETURNING = 4,         // back to modem mode
    STATION_CHECKING_AUTORUN = 5,  // final checks: mode and autorun setting
    STATION_FINISHED = 6
};

// Which modem a call is about. Location and serial number stay; the port name is the one
// the modem's port has now.
struct StationModem {
    int portIndex = -1;  // 0..15 while its job runs
    std::string location;
    std::string serialNumber;
    std::string portName;  // "COM66"
    std::string folder;    // the firmware folder
};

struct StationStatus {
    StationPhase phase = STATION_PROBING;
    // What the modem's update waits for now (report/wait.h: kind WAIT_NONE when nothing), and
    // clk_NowMs() when that wait was announced: its upToSeconds count from then.
    WaitNotice wait{};
    int64_t waitStartMs = 0;
    int percent = 0;           // overall progress 0..100
    int fileIndex = 0;         // 1..fileCount while sending or programming
    int fileCount = 0;         // files of the update
    std::string fileName;      // the current file's name, without its folder
    int64_t phaseStartMs = 0;  // clk_NowMs() when the phase began (seconds waited so far)
    int64_t startMs = 0;       // clk_NowMs() when the modem's update began
    std::string text;          // the last status or information text the engine posted
    int64_t blocksSent = 0;    // data blocks of the current file sent so far
};

// Why a modem present got no update (STATION_NOT_RUN results); STATION_TAKEN when its job ran.
enum StationLeftOut {
    STATION_TAKEN = 0,
    STATION_NO_LOCATION = 1,  // its port has no USB location: no station can follow it
    STATION_NOT_FOUND = 2,    // no modem port at a location asked for
    STATION_OVER_LIMIT = 3,   // beyond the 16 modems updated at once
    STATION_LOCKED = 4,       // another process is updating it (StationResult.holder)
    STATION_BUSY = 5,         // another program holds its port open
    STATION_NO_ANSWER = 6,    // its port answered no probe within the search's passes
    STATION_PORT_GONE = 7,    // its port went away before the update began
    STATION_STOPPED = 8,      // the station was stopped before it began
    STATION_NO_THREAD = 9     // no thread (or memory) could be had for its update
};

// How an update ended.
struct StationResult {
    int jobResult = 0;       // the engine's DL_* code; STATION_NOT_RUN when no job ran
    int downloadResult = 0;  // as the host contract reports it: DOWNLOAD_OK (1), 13, 14, 15 or 0
    bool updated = false;    // downloadResult is DOWNLOAD_OK
    std::string words;       // the result in words
    double seconds = 0;      // length of the update (scaled clock)
    // What failed, when the job failed (see report/job_observer.h): the step (JobStep, 0
    // none) and the whole failure in words, e.g. "programming modem.wrapped (file 4 of 5):
    // AT%PROG=1 answered ERROR".
    int failedStep = 0;
    std::string failure;
    // Why it was left out (StationLeftOut), and for STATION_LOCKED who holds it: "process 4242
    // (modemflash watch /fw) since 2024-05-01 10:00:03 UTC".
    int leftOut = STATION_TAKEN;
    std::string holder;
    // Where the update leaves the modem (engine/port_context.h: its mode, the last file
    // written and how far, what happened), and that in words with what to do next; for a
    // modem left out, reason LEFT_NOT_TOUCHED.
    ModemLeft left{};
    std::string leftWords;
};
#define STATION_NOT_RUN (-1)

struct StationOutcome {
    StationModem modem;
    StationResult result;
};

class IStationListener {
  public:
    virtual ~IStationListener() {}
    // A modem's update begins (its job thread has started; the port is not yet open).
    virtual void OnModemStart(const StationModem& modem) = 0;
    // Its phase, progress, file or texts changed.
    virtual void OnModemStatus(const StationModem& modem, const StationStatus& status) = 0;
    // A file's step ended (fileIndex 1..fileCount), programmed or not. On the modem's thread.
    virtual void OnModemFileEnd(const StationModem& /*modem*/, int /*fileIndex*/,
                                bool /*programmed*/) {}
    // Its update ended; the port is closed and its port index free again.
    virtual void OnModemFinish(const StationModem& modem, const StationResult& result) = 0;
    // One entry of the engine's log for this modem (as log_SetHook hands them over).
    virtual void OnModemLog(const StationModem&, int /*isError*/, const char* /*text*/) {}
    // A line about the station rather than one modem: a location given twice, modems left
    // out beyond 16, a stop requested. Called on the thread that runs RunOnce or Watch.
    virtual void OnNotice(const char* /*text*/) {}
};

class CStation {
  public:
    CStation();
    ~CStation();
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // Reads the folder's update_config.ini and checks the chosen files exactly as
    // IDownloader::SetFirmwareFolder does; false when the folder is refused.
    bool SetFirmwareFolder(const char* folder);
    void SetListener(IStationListener* listener);
    // One log file per modem in dir, named by its location ("1-1.3.log"); "" for none.
    void SetLogDirectory(const char* dir);
    // Whether the engine's log also goes to the standard streams, each line labelled with
    // its modem's location (on at construction). A host that draws its own display turns it
    // off; the log still reaches OnModemLog and the log files.
    void SetConsoleLog(bool on);

    // Updates the modems present now, all at once, and returns when every update has ended.
    // locations empty: every modem port present; else the modems at these locations (a
    // location given twice is updated once, one where no modem is ends "not found"). At
    // most 16 modems, the first 16 in location order; the others end "left out". Outcomes
    // in location order.
    std::vector<StationOutcome> RunOnce(const std::vector<std::string>& locations);

    // Station mode: looks for modems every second and updates each one as it appears,
    // several at once, never the same modem (location and serial number) twice in a row
    // while it stays plugged in. Returns after RequestStop, once the running updates have
    // ended; outcomes in the order the updates ended.
    std::vector<StationOutcome> Watch();

    // Starts no further update (RunOnce: the modems not yet started end "not started").
    // Safe from any thread, and from a signal handler.
    void RequestStop();
    bool StopRequested() const;
    // The modems being updated now.
    std::vector<StationModem> Running() const;

    struct Impl;

  private:
    Impl* impl_;
};

// The name of a modem's log file in the log directory (SetLogDirectory): its location with
// any character unsafe in a file name replaced, and ".log".
std::string station_LogFileName(const std::string& location);

// The result in words with what failed, as displays and records show it: "update complete",
// "the modem refused to program the firmware: programming modem.wrapped (file 4 of 5):
// AT%PROG=1 answered ERROR".
std::string station_ResultText(const StationResult& result);

// Orders locations as a person reads them: "1-1.2" before "1-1.10".
bool station_LocationLess(const std::string& a, const std::string& b);

// A phase as a key for programs ("entering_loader") and in words for people ("switching to
// loader").
const char* station_PhaseKey(StationPhase phase);
const char* station_PhaseWords(StationPhase phase);

#endif
