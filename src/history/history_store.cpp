// What every store shares.
#include "history/history_store.h"

std::string HistoryUpdate::firmwareBefore() const {
    for (const HistoryAnswer& a : answers) {
        if (a.mode != 0 || a.command != "AT+GMR") continue;
        return a.answer.substr(0, a.answer.find('\n'));
    }
    return "";
}
