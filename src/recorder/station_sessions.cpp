#include "recorder/station_sessions.h"

#include "history/update_recorder.h"
#include "recorder/session_events.h"

CStationSessions::CStationSessions(std::string dir, bool wholePayload, std::string program,
                                   std::string command, IStationListener* inner,
                                   std::function<void(const std::string&)> warn)
    : dir_(std::move(dir)),
      whole_(wholePayload),
      program_(std::move(program)),
      command_(std::move(command)),
      inner_(inner),
      warn_(std::move(warn)),
      lock_(lock_Create()) {}

CStationSessions::~CStationSessions() {
    CloseAll();
    lock_Destroy(lock_);
}

void CStationSessions::SetFirmware(const std::string& folder) {
    folder_ = folder;
    files_ = history_DescribeFiles(history_FirmwarePaths(folder));
}

std::string CStationSessions::PathOf(const std::string& location) const {
    std::string name = station_LogFileName(location);  // "<location>.log", made safe
    name = name.substr(0, name.size() - 4);
    return dir_ + "/" + name + (whole_ ? ".session.jsonl.zst" : ".session.jsonl");
}

void CStationSessions::CloseAll() {
    lock_Acquire(lock_);
    for (auto& s : slots_)
        if (s) s->close(true);
    lock_Release(lock_);
}

void CStationSessions::OnModemStart(const StationModem& modem) {
    if (modem.portIndex >= 0 && modem.portIndex < STATION_MAX_MODEMS) {
        std::unique_ptr<SessionRecorder>& slot = slots_[modem.portIndex];
        lock_Acquire(lock_);
        slot.reset(new SessionRecorder());
        lock_Release(lock_);
        RecorderOptions o;
        o.path = PathOf(modem.location);
        if (whole_ && !session::compressionAvailable(session::COMPRESSION_ZSTD))
            o.path = o.path.substr(0, o.path.size() - 4);  // no zstd in this build: plain
        o.wholePayload = whole_;
        o.program = program_;
        o.command = command_;
        o.locate = recorder_Locate;
        o.ringBytes = size_t(2) << 20;
        std::string error;
        if (slot->open(o, &error)) {
            session::Json m;
            m["location"] = modem.location;
            m["serial"] = modem.serialNumber;
            m["port"] = modem.portName;
            slot->add("modem", m);
            slot->add("firmware", recorder_Firmware(folder_, files_));
            recorder_Bind(slot.get());
        } else {
            if (warn_) warn_("session of " + modem.location + " not recorded: " + error);
            lock_Acquire(lock_);
            slot.reset();
            lock_Release(lock_);
        }
    }
    if (inner_) inner_->OnModemStart(modem);
}

void CStationSessions::OnModemStatus(const StationModem& modem, const StationStatus& status) {
    if (status.phase == STATION_FINISHED && modem.portIndex >= 0 &&
        modem.portIndex < STATION_MAX_MODEMS && slots_[modem.portIndex]) {
        // Still on the job's thread, before the port index serves another modem.
        HistoryUpdate end;
        history_TakeFromPort(modem.portIndex, &end);
        recorder_AddAnswers(slots_[modem.portIndex].get(), end.answers);
        recorder_Bind(nullptr);
    }
    if (inner_) inner_->OnModemStatus(modem, status);
}

void CStationSessions::OnModemFinish(const StationModem& modem, const StationResult& result) {
    if (modem.portIndex >= 0 && modem.portIndex < STATION_MAX_MODEMS && slots_[modem.portIndex]) {
        SessionRecorder* r = slots_[modem.portIndex].get();
        recorder_AddResult(r, result.downloadResult, result.words, -1);
        if (!r->close(false) && warn_)
            warn_("session of " + modem.location + " could not be written whole: " + r->path());
        lock_Acquire(lock_);
        slots_[modem.portIndex].reset();
        lock_Release(lock_);
    }
    if (inner_) inner_->OnModemFinish(modem, result);
}

void CStationSessions::OnModemLog(const StationModem& modem, int isError, const char* text) {
    if (inner_) inner_->OnModemLog(modem, isError, text);
}

void CStationSessions::OnNotice(const char* text) {
    if (inner_) inner_->OnNotice(text);
}
