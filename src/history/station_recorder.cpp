#include "history/station_recorder.h"

CStationRecorder::CStationRecorder(IHistoryStore* store, IStationListener* inner,
                                   CUpdateRecorder::Warn warn, std::string version,
                                   std::string logDir)
    : store_(store),
      inner_(inner),
      warn_(std::move(warn)),
      version_(std::move(version)),
      logDir_(std::move(logDir)) {}

void CStationRecorder::SetFirmware(const std::string& folder) {
    folder_ = folder;
    if (store_) firmware_.reset(new CFirmwareFiles(history_FirmwarePaths(folder)));
}

CStationRecorder::Slot* CStationRecorder::slotOf(const StationModem& modem) {
    if (store_ == nullptr || modem.portIndex < 0 || modem.portIndex >= STATION_MAX_MODEMS)
        return nullptr;
    return &slots_[modem.portIndex];
}

void CStationRecorder::OnModemStart(const StationModem& modem) {
    if (Slot* s = slotOf(modem)) {
        s->recorder.reset(new CUpdateRecorder(store_, warn_));
        s->end = HistoryUpdate();
        s->phase = -1;
        HistoryUpdate start;
        start.version = version_;
        start.location = modem.location;
        start.serial = modem.serialNumber;
        start.portNames = modem.portName;
        start.folder = modem.folder.empty() ? folder_ : modem.folder;
        if (!logDir_.empty()) start.logPath = logDir_ + "/" + station_LogFileName(modem.location);
        s->recorder->Begin(start, firmware_.get());
    }
    if (inner_) inner_->OnModemStart(modem);
}

void CStationRecorder::OnModemStatus(const StationModem& modem, const StationStatus& status) {
    Slot* s = slotOf(modem);
    if (s && s->recorder) {
        int seq = status.fileIndex - 1;
        if (status.phase == STATION_SENDING || status.phase == STATION_PROGRAMMING) {
            s->recorder->StartFile(seq);
            if (status.blocksSent > 0) s->recorder->BlocksSent(seq, status.blocksSent);
            if (status.phase == STATION_PROGRAMMING) s->recorder->Transferred(seq);
        }
        const bool entered = status.phase != s->phase;
        s->phase = status.phase;
        if (entered &&
            (status.phase == STATION_ENTERING_LOADER || status.phase == STATION_SENDING)) {
            // On the job's thread: the answers the modem has given so far, kept at once (as
            // the phase begins, not with every data frame's progress).
            HistoryUpdate known;
            history_TakeFromPort(modem.portIndex, &known);
            s->recorder->Answers(known.answers);
        }
        if (status.phase == STATION_FINISHED)
            // Still on the job's thread, before the station frees the port index for another
            // modem: what the port context kept is this job's.
            history_TakeFromPort(modem.portIndex, &s->end);
    }
    if (inner_) inner_->OnModemStatus(modem, status);
}

void CStationRecorder::OnModemFileEnd(const StationModem& modem, int fileIndex, bool programmed) {
    Slot* s = slotOf(modem);
    if (s && s->recorder) s->recorder->EndFile(fileIndex - 1, programmed);
    if (inner_) inner_->OnModemFileEnd(modem, fileIndex, programmed);
}

void CStationRecorder::OnModemFinish(const StationModem& modem, const StationResult& result) {
    Slot* s = slotOf(modem);
    if (s && s->recorder) {
        HistoryUpdate end = s->end;
        if (result.jobResult == STATION_NOT_RUN) {
            // No job ran: the port context holds nothing of this modem.
            end.answers.clear();
            end.portNames = modem.portName;
        }
        end.resultCode = result.downloadResult;
        end.resultWords = station_ResultText(result);
        end.modemLeft = result.leftWords;
        end.location = modem.location;
        end.serial = modem.serialNumber;
        s->recorder->Finish(end);
        s->recorder.reset();
    }
    if (inner_) inner_->OnModemFinish(modem, result);
}

void CStationRecorder::OnModemLog(const StationModem& modem, int isError, const char* text) {
    if (inner_) inner_->OnModemLog(modem, isError, text);
}

void CStationRecorder::OnNotice(const char* text) {
    if (inner_) inner_->OnNotice(text);
}
