#include "recorder/session_events.h"

#include "portscan/modem_port_finder.h"

using session::Json;

Json recorder_Firmware(const std::string& folder, const std::vector<HistoryFile>& files) {
    Json f;
    f["folder"] = folder;
    f["files"] = Json::array();
    for (const HistoryFile& h : files) {
        Json one;
        one["name"] = h.name;
        one["size"] = h.size;
        one["sha256"] = h.sha256;
        one["archive"] = h.archiveId;
        f["files"].push_back(one);
    }
    return f;
}

void recorder_AddAnswers(SessionRecorder* r, const std::vector<HistoryAnswer>& answers) {
    for (const HistoryAnswer& a : answers) {
        Json f;
        f["mode"] = a.mode;
        f["command"] = a.command;
        f["answer"] = a.answer;
        r->add("ident", f);
    }
}

void recorder_AddResult(SessionRecorder* r, int code, const std::string& words, int exitStatus) {
    Json f;
    f["code"] = code;
    f["words"] = words;
    if (exitStatus >= 0) f["exit"] = exitStatus;
    r->add("result", f);
}

bool recorder_Locate(const std::string& port, std::string* location, std::string* serial) {
    for (const ModemPortInfo& m : ports_ListModems()) {
        if (m.portName != port) continue;
        *location = m.location;
        *serial = m.serialNumber;
        return true;
    }
    return false;
}
