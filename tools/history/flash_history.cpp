#include "cli/history/flash_history.h"

#include <stdio.h>

#include <vector>

#include "history/history_server.h"
#include "history/history_shipper.h"
#include "modemflash/port_record.h"
#include "platform/file.h"
#include "report/notify.h"

#ifndef MODEMFLASH_VERSION
#define MODEMFLASH_VERSION "0.0.0"
#endif

namespace cli {
namespace {

std::string absolute(const std::string& path) {
    if (path.empty()) return path;
    char whole[4096];
    return file_Absolute(path.c_str(), whole, sizeof whole) ? whole : path;
}

}  // namespace

void addHistoryOptions(CLI::App& app, HistoryOptions* options, bool recording) {
    CLI::Option* file = app.add_option("--history", options->file,
                                       "The update history file (default: MODEMFLASH_HISTORY, "
                                       "else modemflash/history.sqlite3 in the user's state "
                                       "folder)");
    if (!recording) return;
    // Both at once ask for two things: an error, not a silent choice of one.
    app.add_flag("--no-history", options->none, "Keep no record of this update")->excludes(file);
    app.add_option("--history-server", options->server,
                   "Ship each record to this PostgreSQL server too, a libpq URI or key=value "
                   "string (default: MODEMFLASH_HISTORY_SERVER); the local history comes first");
    app.add_option("--station-name", options->station,
                   "The station's name in its records (default: the host name)");
}

void historyWarning(const std::string& text) {
    fprintf(stderr, "modemflash: warning: %s\n", text.c_str());
    fflush(stderr);
}

std::unique_ptr<IHistoryStore> openHistoryForUpdates(const HistoryOptions& options) {
    bool chosen = false;
    std::string path = history_ChoosePath(options, &chosen);
    // The records go to the local history first: without one, nothing can be shipped.
    if (!options.server.empty() && (options.none || !history_StoreAvailable()))
        historyWarning("--history-server: nothing is shipped without the local history (" +
                       std::string(options.none ? "--no-history" : "this build keeps none") + ")");
    if (options.none) return nullptr;
    if (!history_StoreAvailable() && !chosen) return nullptr;
    if (path.empty()) {
        historyWarning(
            "history: no state folder to keep it in (HOME is not set); the update goes on "
            "without a record (--history FILE names one)");
        return nullptr;
    }
    std::string server = history_ChooseServer(options);
    std::string notice, error;
    std::unique_ptr<IHistoryStore> store = history_OpenStore(path, &notice, &error);
    if (!notice.empty()) historyWarning("history: " + notice);
    if (!store) {
        historyWarning("history: " + error + "; the update goes on without a record" +
                       (server.empty() ? "" : ", and nothing is shipped to the history server"));
        return nullptr;
    }
    std::unique_ptr<IHistoryShipper> shipper;
    if (!server.empty()) {
        shipper = history_StartShipper(path, server, historyWarning, &error);
        if (!shipper)
            historyWarning("history server " + history_ShowServer(server) + ": " + error +
                           "; the records stay in the local history");
    }
    std::string station = options.station.empty() ? history_MachineName() : options.station;
    return history_StationStore(std::move(store), station, std::move(shipper), kShipAtEndMs);
}

FlashRecord::FlashRecord(const HistoryOptions& options, const std::string& folder,
                         const std::string& logFile, DynLib lib)
    : store_(openHistoryForUpdates(options)),
      recorder_(store_.get(), historyWarning),
      folder_(folder),
      logFile_(logFile),
      lib_(lib) {}

void FlashRecord::setModem(const std::string& port, const std::string& location,
                           const std::string& serial, const std::string& note) {
    port_ = port;
    location_ = location;
    serial_ = serial;
    note_ = note;
}

void FlashRecord::begin() {
    if (!store_) return;
    HistoryUpdate start;
    start.version = MODEMFLASH_VERSION;
    start.location = location_;
    start.serial = serial_;
    start.portNames = port_;
    start.identityNote = note_;
    start.folder = absolute(folder_);
    start.logPath = absolute(logFile_);
    firmware_.reset(new CFirmwareFiles(history_FirmwarePaths(folder_)));
    recorder_.Begin(start, firmware_.get());
}

void FlashRecord::onEvent(int code) {
    if (!store_ || lib_ == nullptr || firmware_ == nullptr) return;
    if (code == EVENT_RESET_TO_MODEM) {
        recorder_.EndFile(current_, true);
        current_ = -1;
        return;
    }
    for (size_t i = 0; i < firmware_->Count(); ++i) {
        if (sink_EventCode(firmware_->Name(i).c_str()) != code) continue;
        int seq = static_cast<int>(i);
        if (seq == current_) {
            // The same file's event again: one more data block went out.
            recorder_.BlocksSent(seq, ++currentEvents_);
            return;
        }
        recorder_.EndFile(current_, true);
        recorder_.StartFile(seq);
        current_ = seq;
        currentEvents_ = 0;
        return;
    }
}

void FlashRecord::checkModem(HistoryUpdate* end) const {
    // The job names the ports it opened, the first being the one its search took: when that
    // is not the port looked up before the search, the location and serial may be another
    // modem's.
    std::string first = end->portNames.substr(0, end->portNames.find(','));
    if (first.empty() || port_.empty() || first == port_) return;
    end->identityNote = "the update ran on " + first + ", not on " + port_ +
                        " found when it began: the USB location and serial recorded are " + port_ +
                        "'s and may be another modem's";
}

void FlashRecord::finish(int result, const char* words) {
    if (!store_) return;
    HistoryUpdate end;
    end.resultCode = result;
    end.resultWords = words ? words : "";
    end.logPath = absolute(logFile_);
    if (lib_ == nullptr) {
        // The engine is this program's: the port context holds what the modem told it.
        history_TakeFromPort(0, &end);
        if (result != DOWNLOAD_OK) end.modemLeft = history_LeftWords(0);
        checkModem(&end);
        recorder_.Finish(end);
        return;
    }
    // The library keeps what the modem told it; a library without these reads leaves them out.
    auto initAnswer = reinterpret_cast<InitAnswerFunction>(
        lib_ ? dynlib_Symbol(lib_, "modemflash_InitAnswer") : nullptr);
    auto portNames = reinterpret_cast<PortNamesFunction>(
        lib_ ? dynlib_Symbol(lib_, "modemflash_PortNames") : nullptr);
    char text[512];
    if (portNames && portNames(0, text, sizeof text) > 0) end.portNames = text;
    checkModem(&end);
    if (initAnswer) {
        std::string kept;
        end.answers = history_CollectAnswers([&](int mode, const char* command) -> const char* {
            if (initAnswer(0, mode, command, text, sizeof text) <= 0) return nullptr;
            kept = text;
            return kept.c_str();
        });
    }
    recorder_.Finish(end);
}

}  // namespace cli
