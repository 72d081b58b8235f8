// What every store shares.
#include "history/history_store.h"

std::string HistoryUpdate::firmwareBefore() const {
    for (const HistoryAnswer& a : answers) {
        if (a.mode != 0 || a.command != "AT+GMR") continue;
        return a.answer.substr(0, a.answer.find('\n'));
    }
    return "";
}

bool IHistoryReader::Query(const HistoryFilter& filter, std::vector<HistoryUpdate>* out,
                           std::string* error) {
    out->clear();
    return ForEach(
        filter,
        [out](const HistoryUpdate& u) {
            out->push_back(u);
            return true;
        },
        error);
}
