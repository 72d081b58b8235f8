// What the simulated modem keeps of a session: its records of commands and deviations, and
// the report.
#include "sim_core.h"
#include "sim_core_detail.h"
#include "util/sha256.h"

namespace modemsim {

using namespace detail;

void Core::deviation(const std::string& text) {
    if (deviations_.size() < RECORD_MAX_DEVIATIONS) {
        deviations_.push_back(text);
    } else if (deviations_.size() == RECORD_MAX_DEVIATIONS) {
        deviations_.push_back("(further deviations not recorded)");
    }
}

void Core::recordCommand(const std::string& text) {
    if (commands_.size() < RECORD_MAX_COMMANDS) {
        commands_.push_back(text);
    } else if (commands_.size() == RECORD_MAX_COMMANDS) {
        commands_.push_back("(further commands not recorded)");
    }
}

// ---- report -----------------------------------------------------------------------------

std::string Core::reportJson(const std::string& ttyName, int comNumber) const {
    std::string o = "{\n  \"tty\": " + jsonString(ttyName) +
                    ",\n  \"com\": " + std::to_string(comNumber) +
                    ",\n  \"mode\": " + std::to_string(mode_) +
                    ",\n  \"autorun\": " + std::to_string(autorun_) +
                    ",\n  \"switches\": " + std::to_string(switches_) + ",\n  \"commands\": [";
    for (size_t i = 0; i < commands_.size(); ++i) {
        o += (i ? ", " : "") + jsonString(commands_[i]);
    }
    o += "],\n  \"archives\": [";
    for (size_t i = 0; i < archives_.size(); ++i) {
        const ArchiveRecord& a = archives_[i];
        o += std::string(i ? "," : "") + "\n    {\"id\": " + std::to_string(a.id) +
             ", \"size\": " + std::to_string(a.payload.size()) +
             ", \"sha256\": " + jsonString(a.complete ? a.sha256 : "") +
             ", \"complete\": " + (a.complete ? "true" : "false") +
             ", \"programmed\": " + (a.programmed ? "true" : "false") +
             ", \"signature_checked\": " + (a.signatureChecked ? "true" : "false") +
             ", \"header_length\": " + std::to_string(a.headerLength) +
             ", \"blocks\": " + std::to_string(a.blocks) +
             ", \"rejections\": " + std::to_string(a.rejections) + "}";
    }
    o += archives_.empty() ? "],\n" : "\n  ],\n";
    o += "  \"flash\": [";
    bool first = true;
    for (const auto& kv : flash_) {
        o += std::string(first ? "" : ",") + "\n    {\"id\": " + std::to_string(kv.first) +
             ", \"size\": " + std::to_string(kv.second.size()) +
             ", \"sha256\": " + jsonString(mfutil::sha256Hex(kv.second.data(), kv.second.size())) +
             "}";
        first = false;
    }
    o += flash_.empty() ? "],\n" : "\n  ],\n";
    o += "  \"deviations\": [";
    for (size_t i = 0; i < deviations_.size(); ++i) {
        o += std::string(i ? "," : "") + "\n    " + jsonString(deviations_[i]);
    }
    o += deviations_.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return o;
}

}  // namespace modemsim
