// The events a host adds to a session besides the serial calls: where the modem is, the
// firmware, the identification answers, the result.
#ifndef MODEMFLASH_RECORDER_SESSION_EVENTS_H
#define MODEMFLASH_RECORDER_SESSION_EVENTS_H

#include <string>
#include <vector>

#include "history/history_store.h"
#include "recorder/session_recorder.h"
#include "session/session_format.h"

// {"folder", "files": [{"name", "size", "sha256", "archive"}]}, the files in the order the
// update sends them.
session::Json recorder_Firmware(const std::string& folder, const std::vector<HistoryFile>& files);
void recorder_AddAnswers(SessionRecorder* r, const std::vector<HistoryAnswer>& answers);
// {"code": the host's result (DOWNLOAD_*), "words", "exit": the program's exit status (left
// out when below 0)}
void recorder_AddResult(SessionRecorder* r, int code, const std::string& words, int exitStatus);
// Where a port is plugged in and its serial number, from the port walk (RecorderOptions::locate).
bool recorder_Locate(const std::string& port, std::string* location, std::string* serial);

#endif
