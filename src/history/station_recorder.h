// The station's updates recorded in the history: a listener that records each modem's update
// and passes every call on to the host's own listener (its display).
//
// A modem's start and status calls come from its job's thread, its finish from the station's
// thread once that job's thread has ended; calls about different modems come at the same
// time. Each modem's record lives in the slot of its port index and is touched only by the
// calls about that modem, which the station makes one after another: no lock is needed here
// (the store has its own).
#ifndef MODEMFLASH_HISTORY_STATION_RECORDER_H
#define MODEMFLASH_HISTORY_STATION_RECORDER_H

#include <memory>
#include <string>

#include "history/update_recorder.h"
#include "station/station.h"

class CStationRecorder : public IStationListener {
  public:
    // store: where the records go (null: none, every call is only passed on); inner: the
    // host's listener (may be null); warn: the one line a failing store gives; logDir: the
    // station's log directory ("" none), whose per-modem files the records name.
    CStationRecorder(IHistoryStore* store, IStationListener* inner, CUpdateRecorder::Warn warn,
                     std::string version, std::string logDir);

    // The station's firmware folder: its files are described (hashed) once, on a helper
    // thread, for every modem's record. Call before the station runs.
    void SetFirmware(const std::string& folder);

    void OnModemStart(const StationModem& modem) override;
    void OnModemStatus(const StationModem& modem, const StationStatus& status) override;
    void OnModemFileEnd(const StationModem& modem, int fileIndex, bool programmed) override;
    void OnModemFinish(const StationModem& modem, const StationResult& result) override;
    void OnModemLog(const StationModem& modem, int isError, const char* text) override;
    void OnNotice(const char* text) override;

  private:
    struct Slot {
        std::unique_ptr<CUpdateRecorder> recorder;
        HistoryUpdate end;  // what the port context held when the job ended
        int phase = -1;     // the last phase seen (StationPhase); -1 none yet
    };
    Slot* slotOf(const StationModem& modem);

    IHistoryStore* store_;
    IStationListener* inner_;
    CUpdateRecorder::Warn warn_;
    std::string version_;
    std::string logDir_;
    std::string folder_;
    std::unique_ptr<CFirmwareFiles> firmware_;
    Slot slots_[STATION_MAX_MODEMS];
};

#endif
