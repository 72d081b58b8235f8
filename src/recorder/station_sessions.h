// The station's modems recorded, one session file each: a listener that records every
// modem's conversation and passes each call on to the host's own listener.
//
// A modem's session begins on its job's thread (OnModemStart), which the serial tap then
// follows; it ends with the result once the job has ended (OnModemFinish). The files are
// <dir>/<location>.session.jsonl, or .session.jsonl.zst when payloads are kept whole.
#ifndef MODEMFLASH_RECORDER_STATION_SESSIONS_H
#define MODEMFLASH_RECORDER_STATION_SESSIONS_H

#include <memory>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "platform/lock.h"
#include "recorder/session_recorder.h"
#include "station/station.h"

class CStationSessions : public IStationListener {
  public:
    // warn: the one line a session that cannot be written gives (the update goes on).
    CStationSessions(std::string dir, bool wholePayload, std::string program, std::string command,
                     IStationListener* inner, std::function<void(const std::string&)> warn);
    ~CStationSessions() override;
    // The firmware folder: its files are described once, for every modem's session.
    void SetFirmware(const std::string& folder);
    // Ends every session still open as interrupted (a second Ctrl-C). Any thread.
    void CloseAll();
    // The session file of a location.
    std::string PathOf(const std::string& location) const;

    void OnModemStart(const StationModem& modem) override;
    void OnModemStatus(const StationModem& modem, const StationStatus& status) override;
    void OnModemFinish(const StationModem& modem, const StationResult& result) override;
    void OnModemLog(const StationModem& modem, int isError, const char* text) override;
    void OnNotice(const char* text) override;

  private:
    std::string dir_;
    bool whole_;
    std::string program_, command_;
    IStationListener* inner_;
    std::function<void(const std::string&)> warn_;
    std::string folder_;
    std::vector<HistoryFile> files_;
    // One recorder a port index, used by the calls about its modem, which the station makes
    // one after another. lock_ guards the slots' pointers (made and freed by those calls, and
    // read by CloseAll on another thread).
    PlatformLock* lock_;
    std::unique_ptr<SessionRecorder> slots_[STATION_MAX_MODEMS];
};

#endif
