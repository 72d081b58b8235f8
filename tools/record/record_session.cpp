#include "cli/record/record_session.h"

#include <stdio.h>

#include "history/update_recorder.h"
#include "modemflash/port_record.h"
#include "platform/file.h"
#include "recorder/session_events.h"
#include "session/session_file.h"

namespace cli {

void addRecordOptions(CLI::App& app, std::string* record, bool* payload, const char* help) {
    app.add_option("--record", *record, help);
    app.add_flag("--record-payload", *payload,
                 "Keep data-frame payloads whole in the session (default: their length and "
                 "SHA-256); name the file .zst or .gz to compress it");
}

bool recordDirUsable(const std::string& dir) {
    file_MakeDir(dir.c_str());
    std::string probe = dir + "/.modemflash-session-check";
    FILE* f = file_Open(probe.c_str(), "ab");
    if (f == nullptr) {
        fprintf(stderr, "modemflash: cannot write session files in %s\n", dir.c_str());
        return false;
    }
    fclose(f);
    remove(probe.c_str());
    return true;
}

bool FlashSession::open(const std::string& path, bool wholePayload, const std::string& folder) {
    // The engine built into this program is tapped in this process (a null setter); a loaded
    // library through its export.
    auto setter = reinterpret_cast<SerialTapSetter>(
        lib_ ? dynlib_Symbol(lib_, SERIAL_TAP_EXPORT_NAME) : nullptr);
    if (lib_ != nullptr && setter == nullptr) {
        fprintf(stderr,
                "modemflash: this library cannot record a session (it has no serial tap; the "
                "Windows DLL exports Create alone): record without --library, which runs the "
                "engine in this program\n");
        return false;
    }
    recorder_.reset(new SessionRecorder());
    RecorderOptions o;
    o.path = path;
    o.wholePayload = wholePayload;
    o.program = std::string("modemflash ") + MODEMFLASH_VERSION;
    o.command = "flash";
    o.locate = recorder_Locate;
    std::string error;
    if (!recorder_->open(o, &error)) {
        fprintf(stderr, "modemflash: --record: %s\n", error.c_str());
        recorder_.reset();
        return false;
    }
    if (!recorder_Install(setter)) {
        fprintf(stderr, "modemflash: the library's serial tap is of another version\n");
        recorder_->close(true);
        recorder_.reset();
        return false;
    }
    recorder_->add("firmware",
                   recorder_Firmware(folder, history_DescribeFiles(history_FirmwarePaths(folder))));
    recorder_Bind(recorder_.get());
    return true;
}

void FlashSession::finish(int result, const char* words, int exitStatus) {
    if (!recorder_) return;
    recorder_Bind(nullptr);
    auto initAnswer = reinterpret_cast<InitAnswerFunction>(
        lib_ ? dynlib_Symbol(lib_, "modemflash_InitAnswer") : nullptr);
    if (lib_ == nullptr) {
        HistoryUpdate kept;
        history_TakeFromPort(0, &kept);  // the engine is this program's
        recorder_AddAnswers(recorder_.get(), kept.answers);
    } else if (initAnswer) {
        char text[512];
        std::string kept;
        recorder_AddAnswers(recorder_.get(),
                            history_CollectAnswers([&](int mode, const char* c) -> const char* {
                                if (initAnswer(0, mode, c, text, sizeof text) <= 0) return nullptr;
                                kept = text;
                                return kept.c_str();
                            }));
    }
    recorder_AddResult(recorder_.get(), result, words ? words : "", exitStatus);
    if (!recorder_->close(false))
        fprintf(stderr, "modemflash: the session %s could not be written whole\n",
                recorder_->path().c_str());
    else
        fprintf(stderr, "modemflash: session recorded in %s\n", recorder_->path().c_str());
}

void FlashSession::interrupted() {
    if (recorder_) recorder_->close(true);
}

}  // namespace cli
