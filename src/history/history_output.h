// The texts `modemflash history` prints: a table, JSON (one object per update), CSV, and one
// update in full.
#ifndef MODEMFLASH_HISTORY_HISTORY_OUTPUT_H
#define MODEMFLASH_HISTORY_HISTORY_OUTPUT_H

#include <string>
#include <vector>

#include "history/history_store.h"

// "ok", "did not finish", or "failed <code>: <words>".
std::string history_ResultText(const HistoryUpdate& u);

// "<before> -> <after>": before as the modem answered AT+GMR, after the firmware folder's name
// when the update succeeded ("?" when it did not, or before is unknown).
std::string history_FirmwareText(const HistoryUpdate& u);

// The columns a table has beyond the usual ones.
struct HistoryTableColumns {
    bool station = false;  // STATION after the start: the fleet's listing, many stations
    // SHIPPED at the end ("yes", or "pending" for a record the fleet's server does not have
    // yet): never, always (a station that ships), or when a measured record was shipped.
    enum Shipped { SHIPPED_NEVER, SHIPPED_ALWAYS, SHIPPED_IF_ANY } shipped = SHIPPED_IF_ANY;
};

// Aligned columns with a heading line: ID, started (UTC), location, serial, firmware, result,
// duration (and those of HistoryTableColumns). The rows are measured first (Measure each),
// then written one at a time, so that a table of any length takes no more memory than one
// row.
class CHistoryTable {
  public:
    explicit CHistoryTable(HistoryTableColumns columns = HistoryTableColumns());
    void Measure(const HistoryUpdate& u);
    std::string Heading() const;  // with its '\n'
    std::string Row(const HistoryUpdate& u) const;

  private:
    std::vector<std::string> cellsOf(const HistoryUpdate& u) const;
    std::string line(std::vector<std::string> cells) const;
    bool shippedShown() const;
    HistoryTableColumns columns_;
    std::vector<std::string> headings_;
    std::vector<size_t> width_;
    bool anyShipped_ = false;
};

// One JSON object on one line, with its answers and files (util/json_line.h: texts in UTF-8,
// bytes that are not UTF-8 as U+FFFD).
std::string history_Json(const HistoryUpdate& u);

// The CSV heading, and one update as a CSV line (files not included), RFC 4180 quoting.
std::string history_CsvHeading();
std::string history_CsvLine(const HistoryUpdate& u);

// Every field of one update, its identification answers and its files, for a person.
std::string history_Details(const HistoryUpdate& u);

#endif
