// The station as the dashboard sees it: one more station listener that keeps, in memory, a
// tile per USB location, the latest events, today's counters, the metrics and each modem's
// latest log, for the web server (dashboard_server.h) to read.
//
// The modems' threads call it, and must never wait for the web side: every call changes a
// few fields and appends to bounded buffers under one short lock, then passes the call on to
// the inner listener (the terminal display). The server's threads read copies under the same
// lock and do their formatting and writing outside it.
//
//   CDashboard board(config, &display);        // display: the host's own listener, or null
//   CStationRecorder recorder(store, &board, ...);
//   station.SetListener(&recorder);
//   ... board.ModemsJson(), board.WaitEvents(...), board.MetricsText() ...
#ifndef MODEMFLASH_DASHBOARD_DASHBOARD_H
#define MODEMFLASH_DASHBOARD_DASHBOARD_H

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "history/history_shipping.h"
#include "history/history_store.h"
#include "station/station.h"

class CFirmwareFiles;

// What the dashboard shows of the station's set-up; fixed while it runs.
struct DashboardConfig {
    std::string version;                 // modemflash version
    std::string folder;                  // the firmware folder
    std::string updateCat;               // update_config.ini's update_cat, as written there
    std::vector<std::string> fileNames;  // the files an update sends, in order, without folder
    std::vector<int64_t> fileSizes;      // their sizes in bytes (-1 unreadable), same order
    const CFirmwareFiles* described = nullptr;   // IDs and hashes, worked out on its own thread
    const IHistoryShipping* shipping = nullptr;  // null: this station ships no history
    bool historyKept = false;                    // whether updates are recorded in a history
    double timeScale = 1;                        // the station clock's scale (1 in production)
    std::function<bool()> stopping;  // whether the station was asked to stop (may be empty)
};

// One SSE event as the server sends it.
struct DashboardEvent {
    int64_t id = 0;         // grows by one per event, from 1
    const char* type = "";  // "start", "status" or "finish"
    std::string data;       // one line of JSON
};

class CDashboard : public IStationListener {
  public:
    static constexpr size_t kMaxTiles = STATION_MAX_MODEMS;  // locations shown at once
    static constexpr size_t kEventsKept = 1000;              // events a client can catch up on
    static constexpr size_t kLogKept = 512 * 1024;           // bytes of each modem's latest log

    CDashboard(DashboardConfig config, IStationListener* inner);
    ~CDashboard() override;
    CDashboard(const CDashboard&) = delete;
    CDashboard& operator=(const CDashboard&) = delete;

    // Today's counters from the history's records (updates finished since midnight UTC), so
    // that a restarted station does not start the day at zero. Call before the station runs.
    void SeedToday(const std::vector<HistoryUpdate>& finishedToday);

    void OnModemStart(const StationModem& modem) override;
    void OnModemStatus(const StationModem& modem, const StationStatus& status) override;
    void OnModemFinish(const StationModem& modem, const StationResult& result) override;
    void OnModemLog(const StationModem& modem, int isError, const char* text) override;
    void OnNotice(const char* text) override;

    // The JSON bodies of the API (one line each).
    std::string StationJson() const;
    std::string ModemsJson() const;
    // The Prometheus text exposition of the metrics.
    std::string MetricsText() const;
    // The latest log of the modem at location, as UTF-8 text; false when no modem was seen
    // there.
    bool LogText(const std::string& location, std::string* text) const;

    // Waits up to timeoutMs (real time) for events after `after`, and copies them into *out
    // (at most `max`). *missed is set when events after `after` are no longer kept (the
    // client then gets the oldest kept ones and should reread the tiles). Returns false
    // once Close has been called.
    bool WaitEvents(int64_t after, size_t max, int timeoutMs, std::vector<DashboardEvent>* out,
                    bool* missed);
    int64_t LastEventId() const;
    // Wakes every waiter for good: the server is stopping.
    void Close();

    // Event clients connected now, kept by the server (shown in /api/station).
    void SetEventClients(int count);

  private:
    struct Result {
        bool known = false;
        bool ran = false;  // a job ran (false: the station never started one)
        bool updated = false;
        int code = 0;  // DOWNLOAD_* of the host contract
        int job = 0;   // the engine's DL_* code
        std::string words;
        double seconds = 0;
    };
    // What failed, as the engine recorded it (empty step: nothing failed, or no job ran).
    struct Failure {
        std::string step;   // "programming", "opening the port", ...
        std::string words;  // all of it in one line
        int file = 0;       // 1..n, 0 none
        std::string fileName;
        int block = -1;  // data block 1.., 0 the header frame, -1 none
        std::string command;
        std::string answer;
        std::string systemError;
    };
    struct Tile {
        StationModem modem;
        StationStatus status;
        bool running = false;
        Result result;
        Failure failure;
        int64_t startedUtcMs = 0;
        int updates = 0;         // updates begun at this location since the start
        int countedFile = 0;     // files of this update counted in the bytes sent
        int64_t lastChange = 0;  // when it last changed (of changes_): the longest idle goes first
    };
    struct Log {
        std::string text;
        int64_t dropped = 0;  // bytes dropped from the front to keep it bounded
    };

    // Lock held: the tile of a location, made when new (the oldest finished one may go).
    Tile* tileLocked(const std::string& location);
    // Lock held: appends an event about tile.
    void emitLocked(const char* type, const Tile& tile);
    void countFinishLocked(const Tile& tile);
    void rollDayLocked(int64_t utcMs);
    std::string tileJson(const Tile& tile, int64_t nowMs) const;

    const DashboardConfig config_;
    IStationListener* const inner_;
    const int64_t startedUtcMs_;
    const int64_t startedClockMs_;  // clk_NowMs() at the start

    // The lock that guards every member below (tiles, events, counters, metrics and logs),
    // and the condition the event streams wait on.
    struct Sync;
    std::unique_ptr<Sync> sync_;
    std::map<std::string, Tile> tiles_;
    std::map<std::string, Log> logs_;
    std::deque<DashboardEvent> events_;
    int64_t lastEventId_ = 0;
    int64_t changes_ = 0;  // tile changes so far
    bool closed_ = false;
    int eventClients_ = 0;
    std::deque<std::string> notices_;  // the station's latest notices
    // Today's counters (UTC day number since 1970).
    int64_t day_ = 0;
    int64_t todayUpdated_ = 0;
    int64_t todayFailed_ = 0;
    double todaySeconds_ = 0;  // of the updates that ran
    int64_t todayRan_ = 0;
    std::deque<int64_t> updatedLastHour_;  // station clock of each update that succeeded
    // Metrics since the start.
    std::map<std::string, int64_t> results_;  // by result key
    std::vector<int64_t> buckets_;            // per bound of kDurationBounds, not cumulative
    int64_t durationCount_ = 0;
    double durationSum_ = 0;
    int64_t bytesSent_ = 0;
};

// The metric label of a result: "updated", "failed", "program_failed", "transfer_failed",
// "mode_failed" or "not_run".
const char* dashboard_ResultKey(bool ran, int downloadResult);

#endif
