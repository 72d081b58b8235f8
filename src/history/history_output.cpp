#include "history/history_output.h"

#include <stdio.h>

#include <algorithm>

#include "history/history_time.h"
#include "util/json_line.h"

namespace {

std::string orDash(const std::string& s) {
    return s.empty() ? "-" : s;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"') out += '"';
        out += ch;
    }
    return out + "\"";
}

std::string folderName(const std::string& folder) {
    std::string f = folder;
    while (!f.empty() && (f.back() == '/' || f.back() == '\\')) f.pop_back();
    size_t cut = f.find_last_of("/\\");
    return cut == std::string::npos ? f : f.substr(cut + 1);
}

std::string durationOf(const HistoryUpdate& u) {
    return u.finished() ? history_Duration(u.endedMs - u.startedMs) : "";
}

}  // namespace

std::string history_ResultText(const HistoryUpdate& u) {
    if (!u.finished()) return "did not finish";
    if (u.resultCode == 1) return "ok";
    return "failed " + std::to_string(u.resultCode) + ": " + u.resultWords;
}

std::string history_FirmwareText(const HistoryUpdate& u) {
    std::string before = u.firmwareBefore();
    std::string after = u.finished() && u.resultCode == 1 ? folderName(u.folder) : "";
    return (before.empty() ? "?" : before) + " -> " + (after.empty() ? "?" : after);
}

namespace {

// The columns a text takes on a terminal: one per UTF-8 character.
size_t columnsOf(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

CHistoryTable::CHistoryTable(HistoryTableColumns columns) : columns_(columns) {
    headings_ = {"ID", "STARTED (UTC)"};
    if (columns_.station) headings_.push_back("STATION");
    for (const char* h : {"LOCATION", "SERIAL", "FIRMWARE", "RESULT", "DURATION"})
        headings_.push_back(h);
    if (columns_.shipped != HistoryTableColumns::SHIPPED_NEVER) headings_.push_back("SHIPPED");
    for (const std::string& h : headings_) width_.push_back(columnsOf(h));
}

std::vector<std::string> CHistoryTable::cellsOf(const HistoryUpdate& u) const {
    std::vector<std::string> cells = {std::to_string(u.id), history_ShortTime(u.startedMs)};
    if (columns_.station) cells.push_back(orDash(u.station));
    for (const std::string& c : {orDash(u.location), orDash(u.serial), history_FirmwareText(u),
                                 history_ResultText(u), orDash(durationOf(u))})
        cells.push_back(c);
    if (columns_.shipped != HistoryTableColumns::SHIPPED_NEVER)
        cells.push_back(u.pending() ? "pending" : "yes");
    return cells;
}

bool CHistoryTable::shippedShown() const {
    return columns_.shipped == HistoryTableColumns::SHIPPED_ALWAYS ||
           (columns_.shipped == HistoryTableColumns::SHIPPED_IF_ANY && anyShipped_);
}

void CHistoryTable::Measure(const HistoryUpdate& u) {
    std::vector<std::string> cells = cellsOf(u);
    for (size_t i = 0; i < cells.size(); ++i) width_[i] = std::max(width_[i], columnsOf(cells[i]));
    anyShipped_ = anyShipped_ || u.shippedRevision > 0;
}

std::string CHistoryTable::Heading() const {
    return line(headings_);
}

std::string CHistoryTable::Row(const HistoryUpdate& u) const {
    return line(cellsOf(u));
}

std::string CHistoryTable::line(std::vector<std::string> cells) const {
    if (columns_.shipped != HistoryTableColumns::SHIPPED_NEVER && !shippedShown()) cells.pop_back();
    std::string out;
    for (size_t i = 0; i < cells.size(); ++i) {
        out += cells[i];
        size_t used = columnsOf(cells[i]);
        if (i + 1 < cells.size())
            out += std::string(width_[i] > used ? width_[i] - used + 2 : 2, ' ');
    }
    return out + "\n";
}

std::string history_Json(const HistoryUpdate& u) {
    JsonObject answers = JsonObject::array();
    for (const HistoryAnswer& a : u.answers)
        answers.push_back({{"mode", a.mode}, {"command", a.command}, {"answer", a.answer}});
    JsonObject files = JsonObject::array();
    for (const HistoryFile& f : u.files)
        files.push_back({{"name", f.name},
                         {"size", json_NumberOrNull(f.size)},
                         {"archive_id", json_NumberOrNull(f.archiveId)},
                         {"archive_name", f.archiveName},
                         {"sha256", f.sha256},
                         {"transfer_ms", json_NumberOrNull(f.transferMs)},
                         {"blocks_sent", json_NumberOrNull(f.blocksSent)},
                         {"programmed", f.programmed}});
    JsonObject j = {
        {"id", u.id},
        {"uuid", u.uuid},
        {"station", u.station},
        {"started", history_IsoTime(u.startedMs)},
        {"ended", u.finished() ? JsonObject(history_IsoTime(u.endedMs)) : JsonObject(nullptr)},
        {"finished", u.finished()},
        {"duration_ms", u.finished() ? JsonObject(u.endedMs - u.startedMs) : JsonObject(nullptr)},
        {"machine", u.machine},
        {"version", u.version},
        {"location", u.location},
        {"serial", u.serial},
        {"identity_note", u.identityNote},
        {"modem_left", u.modemLeft},
        {"ports", u.portNames},
        {"folder", u.folder},
        {"result", u.finished() ? JsonObject(u.resultCode) : JsonObject(nullptr)},
        {"result_words", u.resultWords},
        {"log", u.logPath},
        {"firmware_before", u.firmwareBefore()},
        {"pending", u.pending()},
        {"shipped",
         u.shippedMs >= 0 ? JsonObject(history_IsoTime(u.shippedMs)) : JsonObject(nullptr)},
        {"answers", answers},
        {"files", files},
    };
    return json_Line(j);
}

std::string history_CsvHeading() {
    return "id,started,ended,machine,version,location,serial,ports,firmware_before,folder,"
           "result,result_words,duration_ms,log,uuid,station,pending,shipped,identity_note,"
           "modem_left";
}

std::string history_CsvLine(const HistoryUpdate& u) {
    const std::string fields[] = {
        std::to_string(u.id),
        history_IsoTime(u.startedMs),
        u.finished() ? history_IsoTime(u.endedMs) : "",
        u.machine,
        u.version,
        u.location,
        u.serial,
        u.portNames,
        u.firmwareBefore(),
        u.folder,
        u.finished() ? std::to_string(u.resultCode) : "",
        u.finished() ? u.resultWords : "did not finish",
        u.finished() ? std::to_string(u.endedMs - u.startedMs) : "",
        u.logPath,
        u.uuid,
        u.station,
        u.pending() ? "true" : "false",
        u.shippedMs >= 0 ? history_IsoTime(u.shippedMs) : "",
        u.identityNote,
        u.modemLeft,
    };
    std::string line;
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) {
        if (i) line += ",";
        line += csvField(fields[i]);
    }
    return line;
}

std::string history_Details(const HistoryUpdate& u) {
    std::string out;
    auto field = [&out](const char* name, const std::string& value) {
        char label[24];
        snprintf(label, sizeof label, "%-12s", name);
        out += std::string(label) + orDash(value) + "\n";
    };
    field("update", std::to_string(u.id));
    field("started", history_IsoTime(u.startedMs));
    field("ended", u.finished() ? history_IsoTime(u.endedMs) : "(did not finish)");
    field("duration", durationOf(u));
    field("result", history_ResultText(u));
    if (!u.modemLeft.empty()) field("modem left", u.modemLeft);
    field("uuid", u.uuid);
    field("station", u.station);
    field("machine", u.machine);
    field("modemflash", u.version);
    field("location", u.location);
    field("serial", u.serial);
    if (!u.identityNote.empty()) field("modem", u.identityNote);
    field("ports", u.portNames);
    field("folder", u.folder);
    field("log", u.logPath);
    field("shipped", u.pending()        ? "pending (the history server does not have it yet)"
                     : u.shippedMs >= 0 ? history_IsoTime(u.shippedMs)
                                        : "");
    out += "identification:\n";
    if (u.answers.empty()) out += "  (none kept)\n";
    for (const HistoryAnswer& a : u.answers) {
        std::string answer = a.answer;
        for (size_t p = 0; (p = answer.find('\n', p)) != std::string::npos; p += 3)
            answer.replace(p, 1, " | ");
        out += std::string("  ") + (a.mode == 0 ? "modem " : "loader") + "  " + a.command +
               std::string(a.command.size() < 11 ? 11 - a.command.size() : 1, ' ') + answer + "\n";
    }
    out += "files:\n";
    if (u.files.empty()) out += "  (none recorded)\n";
    for (const HistoryFile& f : u.files) {
        char line[512];
        std::string archive = f.archiveId < 0 ? "-"
                                              : (f.archiveName.empty() ? "?" : f.archiveName) +
                                                    " (ID " + std::to_string(f.archiveId) + ")";
        // How far the file got: its transfer's time when it was whole, the blocks that went
        // out when it was not.
        std::string how = f.transferMs >= 0 ? "sent in " + history_Duration(f.transferMs)
                          : f.blocksSent > 0
                              ? "transfer cut short after " + std::to_string(f.blocksSent) +
                                    (f.blocksSent == 1 ? " block" : " blocks")
                              : "";
        snprintf(line, sizeof line, "  %-24s %10lld bytes  %-16s %-14s %s\n", f.name.c_str(),
                 static_cast<long long>(f.size), archive.c_str(),
                 f.programmed ? "programmed" : "not programmed", how.c_str());
        out += line;
        out += "    sha256 " + orDash(f.sha256) + "\n";
    }
    return out;
}
