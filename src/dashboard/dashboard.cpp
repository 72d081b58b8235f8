#include "dashboard/dashboard.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "dashboard/dashboard_text.h"
#include "history/history_time.h"
#include "history/update_recorder.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "report/job_observer.h"
#include "util/json_line.h"

using json = nlohmann::ordered_json;

namespace {

// Upper bounds of the update duration histogram, in seconds of the station clock: an update
// takes a few minutes, one that waits through every retry of a mode switch much longer.
const double kDurationBounds[] = {30, 60, 120, 180, 240, 300, 450, 600, 900, 1200, 1800, 3600};
const size_t kBucketCount = sizeof kDurationBounds / sizeof kDurationBounds[0];
const size_t kNoticesKept = 20;
const int64_t kDayMs = 86400000;
const int64_t kHourMs = 3600000;

const char* const kResultKeys[] = {"updated",         "failed",      "program_failed",
                                   "transfer_failed", "mode_failed", "not_run"};

std::string dump(const json& j) {
    return json_Line(j);
}

std::string isoOrEmpty(int64_t ms) {
    return ms > 0 ? history_IsoTime(ms) : std::string();
}

double tenths(double seconds) {
    return static_cast<double>(static_cast<int64_t>(seconds * 10 + 0.5)) / 10;
}

// What the phase means now, in words: with the file while sending or programming, with the
// seconds waited while the modem switches mode.
std::string phaseText(const StationStatus& s, int64_t nowMs) {
    int64_t waited = std::max<int64_t>(0, (nowMs - s.phaseStartMs) / 1000);
    char text[512];
    switch (s.phase) {
        case STATION_ENTERING_LOADER:
        case STATION_RETURNING:
            snprintf(text, sizeof text, "%s (%lld s)", station_PhaseWords(s.phase),
                     static_cast<long long>(waited));
            break;
        case STATION_SENDING:
        case STATION_PROGRAMMING:
            snprintf(text, sizeof text, "%s file %d of %d %s", station_PhaseWords(s.phase),
                     s.fileIndex, s.fileCount, s.fileName.c_str());
            break;
        default:
            snprintf(text, sizeof text, "%s", station_PhaseWords(s.phase));
    }
    return text;
}

}  // namespace

struct CDashboard::Sync {
    std::mutex lock;
    std::condition_variable changed;
};

const char* dashboard_ResultKey(bool ran, int downloadResult) {
    if (!ran) return "not_run";
    switch (downloadResult) {
        case DOWNLOAD_OK:
            return "updated";
        case DOWNLOAD_PROGRAM_FAILED:
            return "program_failed";
        case DOWNLOAD_TRANSFER_FAILED:
            return "transfer_failed";
        case DOWNLOAD_MODE_FAILED:
            return "mode_failed";
        default:
            return "failed";
    }
}

CDashboard::CDashboard(DashboardConfig config, IStationListener* inner)
    : config_(std::move(config)),
      inner_(inner),
      startedUtcMs_(history_NowMs()),
      startedClockMs_(clk_NowMs()),
      sync_(new Sync),
      buckets_(kBucketCount + 1, 0) {
    day_ = startedUtcMs_ / kDayMs;
    for (const char* key : kResultKeys) results_[key] = 0;
}

CDashboard::~CDashboard() {
    Close();
}

void CDashboard::SeedToday(const std::vector<HistoryUpdate>& finishedToday) {
    std::lock_guard<std::mutex> g(sync_->lock);
    for (const HistoryUpdate& u : finishedToday) {
        if (!u.finished() || u.endedMs / kDayMs != day_) continue;
        if (u.resultCode == DOWNLOAD_OK)
            ++todayUpdated_;
        else
            ++todayFailed_;
        ++todayRan_;
        todaySeconds_ += static_cast<double>(u.endedMs - u.startedMs) / 1000.0;
    }
}

CDashboard::Tile* CDashboard::tileLocked(const std::string& location) {
    auto it = tiles_.find(location);
    if (it != tiles_.end()) return &it->second;
    if (tiles_.size() >= kMaxTiles) {
        // The location that has been idle longest makes room (a running one never does: at
        // most 16 run at once, and this one is about to).
        auto oldest = tiles_.end();
        for (auto t = tiles_.begin(); t != tiles_.end(); ++t)
            if (!t->second.running &&
                (oldest == tiles_.end() || t->second.lastChange < oldest->second.lastChange))
                oldest = t;
        if (oldest != tiles_.end()) {
            logs_.erase(oldest->first);
            tiles_.erase(oldest);
        }
    }
    Tile& t = tiles_[location];
    t.modem.location = location;
    return &t;
}

std::string CDashboard::tileJson(const Tile& t, int64_t nowMs) const {
    const StationStatus& s = t.status;
    json j;
    j["location"] = dashboard_Utf8(t.modem.location);
    j["serial"] = dashboard_Utf8(t.modem.serialNumber);
    j["port"] = dashboard_Utf8(t.modem.portName);
    j["running"] = t.running;
    j["state"] = t.running ? "running" : t.result.updated ? "updated" : "failed";
    j["phase"] = station_PhaseKey(s.phase);
    j["phase_words"] = station_PhaseWords(s.phase);
    j["phase_text"] = dashboard_Utf8(phaseText(s, nowMs));
    j["phase_seconds"] = t.running ? std::max<int64_t>(0, (nowMs - s.phaseStartMs) / 1000) : 0;
    j["file"] = s.fileIndex;
    j["files"] = s.fileCount;
    j["file_name"] = dashboard_Utf8(s.fileName);
    j["percent"] = std::max(0, std::min(100, s.percent));
    double elapsed = t.running ? static_cast<double>(nowMs - s.startMs) / 1000.0 : t.result.seconds;
    j["elapsed_seconds"] = tenths(std::max(0.0, elapsed));
    j["started"] = isoOrEmpty(t.startedUtcMs);
    j["text"] = dashboard_Utf8(s.text);
    j["updates"] = t.updates;
    if (t.result.known) {
        const Result& r = t.result;
        j["result"] = {{"updated", r.updated},
                       {"key", dashboard_ResultKey(r.ran, r.code)},
                       {"code", r.code},
                       {"job", r.ran ? json(r.job) : json(nullptr)},
                       {"words", dashboard_Utf8(r.words)},
                       {"reason", dashboard_Utf8(t.failure.words)},
                       {"seconds", tenths(r.seconds)}};
    } else {
        j["result"] = nullptr;
    }
    if (!t.failure.step.empty()) {
        const Failure& f = t.failure;
        j["failure"] = {{"step", f.step},
                        {"words", dashboard_Utf8(f.words)},
                        {"file", f.file},
                        {"file_name", dashboard_Utf8(f.fileName)},
                        {"block", f.block},
                        {"command", dashboard_Utf8(f.command)},
                        {"answer", dashboard_Utf8(f.answer)},
                        {"system_error", dashboard_Utf8(f.systemError)}};
    } else {
        j["failure"] = nullptr;
    }
    j["log"] = "/api/modems/" + dashboard_UrlSegment(t.modem.location) + "/log";
    return dump(j);
}

void CDashboard::emitLocked(const char* type, const Tile& tile) {
    DashboardEvent e;
    e.id = ++lastEventId_;
    e.type = type;
    int64_t nowUtc = history_NowMs();
    e.data = "{\"id\":" + std::to_string(e.id) + ",\"type\":\"" + type + "\",\"time\":\"" +
             history_IsoTime(nowUtc) + "\",\"mono_us\":" + std::to_string(clk_RealNowUs()) +
             ",\"location\":" + dump(json(dashboard_Utf8(tile.modem.location))) +
             ",\"modem\":" + tileJson(tile, clk_NowMs()) + "}";
    events_.push_back(std::move(e));
    while (events_.size() > kEventsKept) events_.pop_front();
}

void CDashboard::rollDayLocked(int64_t utcMs) {
    if (utcMs / kDayMs == day_) return;
    day_ = utcMs / kDayMs;
    todayUpdated_ = todayFailed_ = todayRan_ = 0;
    todaySeconds_ = 0;
}

void CDashboard::countFinishLocked(const Tile& t) {
    rollDayLocked(history_NowMs());
    const Result& r = t.result;
    ++results_[dashboard_ResultKey(r.ran, r.code)];
    if (r.updated) {
        ++todayUpdated_;
        updatedLastHour_.push_back(clk_NowMs());
    } else {
        ++todayFailed_;
    }
    if (!r.ran) return;
    ++todayRan_;
    todaySeconds_ += r.seconds;
    size_t b = 0;
    while (b < kBucketCount && r.seconds > kDurationBounds[b]) ++b;
    ++buckets_[b];
    ++durationCount_;
    durationSum_ += r.seconds;
}

void CDashboard::OnModemStart(const StationModem& modem) {
    {
        std::lock_guard<std::mutex> g(sync_->lock);
        Tile* t = tileLocked(modem.location);
        t->modem = modem;
        t->status = StationStatus();
        t->status.startMs = t->status.phaseStartMs = clk_NowMs();
        t->running = true;
        t->result = Result();
        t->failure = Failure();
        t->startedUtcMs = history_NowMs();
        t->countedFile = 0;
        t->lastChange = ++changes_;
        ++t->updates;
        logs_[modem.location] = Log();
        emitLocked("start", *t);
    }
    sync_->changed.notify_all();
    if (inner_) inner_->OnModemStart(modem);
}

void CDashboard::OnModemStatus(const StationModem& modem, const StationStatus& status) {
    bool emitted = false;
    {
        std::lock_guard<std::mutex> g(sync_->lock);
        Tile* t = tileLocked(modem.location);
        const StationStatus& was = t->status;
        bool step = was.phase != status.phase || was.fileIndex != status.fileIndex ||
                    t->modem.portName != modem.portName;
        bool moved = was.percent != status.percent;
        // A file's bytes are all sent once the modem programs it, or once a later file starts.
        int sent = status.phase == STATION_PROGRAMMING ? status.fileIndex : status.fileIndex - 1;
        if (status.phase == STATION_RETURNING || status.phase == STATION_CHECKING_AUTORUN)
            sent = std::max(sent, t->countedFile);  // the return follows the last file
        for (int k = t->countedFile + 1; k <= sent; ++k) {
            size_t i = static_cast<size_t>(k - 1);
            if (i < config_.fileSizes.size() && config_.fileSizes[i] > 0)
                bytesSent_ += config_.fileSizes[i];
        }
        t->countedFile = std::max(t->countedFile, sent);
        if (status.phase == STATION_FINISHED && t->status.phase != STATION_FINISHED) {
            // Still on the job's thread, before its port index serves another modem: the
            // engine's record of what failed is this job's.
            const JobFailure* f = report_LastFailure(modem.portIndex);
            t->failure = Failure();
            if (f != nullptr && f->step != JOB_STEP_NONE) {
                t->failure.step = report_StepName(f->step);
                t->failure.words = f->words;
                t->failure.file = f->fileIndex;
                std::string path = f->file;
                size_t slash = path.find_last_of("\\/");
                t->failure.fileName = slash == std::string::npos ? path : path.substr(slash + 1);
                t->failure.block = f->block;
                t->failure.command = f->command;
                t->failure.answer = f->answer;
                t->failure.systemError = f->systemError;
            }
        }
        t->modem = modem;
        t->status = status;
        t->running = true;
        t->lastChange = ++changes_;
        if (step || moved) {
            emitLocked("status", *t);
            emitted = true;
        }
    }
    if (emitted) sync_->changed.notify_all();
    if (inner_) inner_->OnModemStatus(modem, status);
}

void CDashboard::OnModemFinish(const StationModem& modem, const StationResult& result) {
    {
        std::lock_guard<std::mutex> g(sync_->lock);
        Tile* t = tileLocked(modem.location);
        t->modem = modem;
        t->running = false;
        t->result.known = true;
        t->result.ran = result.jobResult != STATION_NOT_RUN;
        t->result.updated = result.updated;
        t->result.code = result.downloadResult;
        t->result.job = result.jobResult;
        t->result.words = result.words;
        t->result.seconds = result.seconds;
        if (!t->result.ran) t->status.phase = STATION_FINISHED;
        t->lastChange = ++changes_;
        countFinishLocked(*t);
        emitLocked("finish", *t);
    }
    sync_->changed.notify_all();
    if (inner_) inner_->OnModemFinish(modem, result);
}

void CDashboard::OnModemLog(const StationModem& modem, int isError, const char* text) {
    if (text != nullptr) {
        std::lock_guard<std::mutex> g(sync_->lock);
        auto it = logs_.find(modem.location);
        if (it != logs_.end()) {
            Log& log = it->second;
            log.text += text;
            if (log.text.size() > kLogKept) {
                // Keep the latest three quarters, from a line's start.
                size_t cut = log.text.size() - kLogKept * 3 / 4;
                size_t line = log.text.find('\n', cut);
                cut = line == std::string::npos ? cut : line + 1;
                log.text.erase(0, cut);
                log.dropped += static_cast<int64_t>(cut);
            }
        }
    }
    if (inner_) inner_->OnModemLog(modem, isError, text);
}

void CDashboard::OnNotice(const char* text) {
    if (text != nullptr) {
        std::lock_guard<std::mutex> g(sync_->lock);
        notices_.push_back(history_IsoTime(history_NowMs()) + " " + text);
        while (notices_.size() > kNoticesKept) notices_.pop_front();
    }
    if (inner_) inner_->OnNotice(text);
}

std::string CDashboard::StationJson() const {
    json j;
    j["version"] = config_.version;
    j["started"] = history_IsoTime(startedUtcMs_);
    j["stopping"] = config_.stopping ? config_.stopping() : false;
    j["time_scale"] = config_.timeScale;
    j["folder"] = dashboard_Utf8(config_.folder);
    j["update_cat"] = dashboard_Utf8(config_.updateCat);
    json files = json::array();
    for (size_t i = 0; i < config_.fileNames.size(); ++i) {
        json f;
        f["name"] = dashboard_Utf8(config_.fileNames[i]);
        f["size"] = i < config_.fileSizes.size() && config_.fileSizes[i] >= 0
                        ? json(config_.fileSizes[i])
                        : json(nullptr);
        f["archive_id"] = nullptr;
        f["archive_name"] = "";
        f["sha256"] = "";
        if (config_.described != nullptr && i < config_.described->Count()) {
            // Worked out on this (the server's) thread if the helper has not got there yet.
            HistoryFile d = config_.described->File(i);
            if (d.archiveId >= 0) f["archive_id"] = d.archiveId;
            f["archive_name"] = d.archiveName;
            f["sha256"] = d.sha256;
        }
        files.push_back(f);
    }
    j["files"] = files;
    j["history"] = {{"kept", config_.historyKept}};
    if (config_.shipping != nullptr) {
        HistoryShippingState s = config_.shipping->ShippingState();
        j["history_shipping"] = {
            {"pending", s.pending},
            {"last_shipped",
             s.lastShippedMs >= 0 ? json(history_IsoTime(s.lastShippedMs)) : json(nullptr)},
            {"server", dashboard_Utf8(s.server)},
            {"detail", dashboard_Utf8(s.detail)}};
    } else {
        j["history_shipping"] = nullptr;
    }

    std::lock_guard<std::mutex> g(sync_->lock);
    int64_t now = clk_NowMs();
    int64_t utcNow = history_NowMs();
    bool sameDay = utcNow / kDayMs == day_;
    int64_t updated = sameDay ? todayUpdated_ : 0, failed = sameDay ? todayFailed_ : 0;
    int64_t ran = sameDay ? todayRan_ : 0;
    // Modems per hour: the updates of the last hour, over the part of that hour the station
    // has run (at least a minute, so that the first update does not read as thousands).
    int64_t lastHour = 0;
    for (int64_t at : updatedLastHour_) lastHour += now - at <= kHourMs ? 1 : 0;
    double window = static_cast<double>(
        std::max<int64_t>(60000, std::min<int64_t>(kHourMs, now - startedClockMs_)));
    j["today"] = {{"date", history_IsoTime(utcNow).substr(0, 10)},
                  {"updated", updated},
                  {"failed", failed},
                  {"mean_seconds",
                   ran > 0 ? json(tenths((sameDay ? todaySeconds_ : 0) / ran)) : json(nullptr)},
                  {"modems_per_hour", tenths(static_cast<double>(lastHour) * kHourMs / window)}};
    int running = 0;
    for (const auto& t : tiles_) running += t.second.running ? 1 : 0;
    j["modems"] = {{"shown", tiles_.size()}, {"running", running}};
    j["last_event_id"] = lastEventId_;
    j["event_clients"] = eventClients_;
    json notices = json::array();
    for (const std::string& n : notices_) notices.push_back(dashboard_Utf8(n));
    j["notices"] = notices;
    return dump(j);
}

std::string CDashboard::ModemsJson() const {
    std::vector<Tile> tiles;
    int64_t last;
    {
        std::lock_guard<std::mutex> g(sync_->lock);
        for (const auto& t : tiles_) tiles.push_back(t.second);
        last = lastEventId_;
    }
    std::stable_sort(tiles.begin(), tiles.end(), [](const Tile& a, const Tile& b) {
        return station_LocationLess(a.modem.location, b.modem.location);
    });
    int64_t now = clk_NowMs();
    std::string out = "{\"last_event_id\":" + std::to_string(last) + ",\"modems\":[";
    for (size_t i = 0; i < tiles.size(); ++i) out += (i ? "," : "") + tileJson(tiles[i], now);
    return out + "]}";
}

bool CDashboard::LogText(const std::string& location, std::string* text) const {
    Log log;
    {
        std::lock_guard<std::mutex> g(sync_->lock);
        auto it = logs_.find(location);
        if (it == logs_.end()) return false;
        log = it->second;
    }
    text->clear();
    if (log.dropped > 0)
        *text =
            "(the first " + std::to_string(log.dropped) + " bytes of this log are not kept here)\n";
    *text += dashboard_Utf8Lines(log.text);
    return true;
}

std::string CDashboard::MetricsText() const {
    std::map<std::string, int64_t> results;
    std::vector<int64_t> buckets;
    int64_t count, bytes;
    double sum;
    int active = 0;
    {
        std::lock_guard<std::mutex> g(sync_->lock);
        results = results_;
        buckets = buckets_;
        count = durationCount_;
        sum = durationSum_;
        bytes = bytesSent_;
        for (const auto& t : tiles_) active += t.second.running ? 1 : 0;
    }
    std::string m;
    char line[256];
    m += "# HELP modemflash_updates_total Modem updates that ended, by result.\n";
    m += "# TYPE modemflash_updates_total counter\n";
    for (const char* key : kResultKeys) {
        snprintf(line, sizeof line, "modemflash_updates_total{result=\"%s\"} %lld\n", key,
                 static_cast<long long>(results[key]));
        m += line;
    }
    m += "# HELP modemflash_update_duration_seconds How long each update took.\n";
    m += "# TYPE modemflash_update_duration_seconds histogram\n";
    int64_t cumulative = 0;
    for (size_t b = 0; b <= kBucketCount; ++b) {
        cumulative += buckets[b];
        if (b < kBucketCount)
            snprintf(line, sizeof line,
                     "modemflash_update_duration_seconds_bucket{le=\"%g\"} %lld\n",
                     kDurationBounds[b], static_cast<long long>(cumulative));
        else
            snprintf(line, sizeof line,
                     "modemflash_update_duration_seconds_bucket{le=\"+Inf\"} %lld\n",
                     static_cast<long long>(cumulative));
        m += line;
    }
    snprintf(line, sizeof line, "modemflash_update_duration_seconds_sum %.3f\n", sum);
    m += line;
    snprintf(line, sizeof line, "modemflash_update_duration_seconds_count %lld\n",
             static_cast<long long>(count));
    m += line;
    m += "# HELP modemflash_modems_active Modems being updated now.\n";
    m += "# TYPE modemflash_modems_active gauge\n";
    m += "modemflash_modems_active " + std::to_string(active) + "\n";
    m += "# HELP modemflash_bytes_sent_total Firmware bytes sent to modems (archives whose "
         "transfer completed).\n";
    m += "# TYPE modemflash_bytes_sent_total counter\n";
    m += "modemflash_bytes_sent_total " + std::to_string(bytes) + "\n";
    m += "# HELP modemflash_build_info The running modemflash.\n";
    m += "# TYPE modemflash_build_info gauge\n";
    std::string version;
    for (char c : config_.version)
        if (c != '"' && c != '\\' && c != '\n') version += c;
    m += "modemflash_build_info{version=\"" + version + "\"} 1\n";
    return m;
}

bool CDashboard::WaitEvents(int64_t after, size_t max, int timeoutMs,
                            std::vector<DashboardEvent>* out, bool* missed) {
    std::unique_lock<std::mutex> l(sync_->lock);
    sync_->changed.wait_for(l, std::chrono::milliseconds(timeoutMs),
                            [&] { return closed_ || lastEventId_ > after; });
    *missed = false;
    if (closed_) return false;
    if (lastEventId_ <= after || events_.empty()) return true;
    int64_t first = events_.front().id;
    if (after + 1 < first) {
        *missed = true;
        after = first - 1;
    }
    for (size_t i = static_cast<size_t>(after + 1 - first); i < events_.size() && out->size() < max;
         ++i)
        out->push_back(events_[i]);
    return true;
}

int64_t CDashboard::LastEventId() const {
    std::lock_guard<std::mutex> g(sync_->lock);
    return lastEventId_;
}

void CDashboard::Close() {
    {
        std::lock_guard<std::mutex> g(sync_->lock);
        closed_ = true;
    }
    sync_->changed.notify_all();
}

void CDashboard::SetEventClients(int count) {
    std::lock_guard<std::mutex> g(sync_->lock);
    eventClients_ = count;
}
