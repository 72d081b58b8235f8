// Builds without SQLite keep no history.
#include "history/history_store.h"

namespace {
const char kNoStore[] = "this build of modemflash keeps no update history (built without SQLite)";
}

bool history_StoreAvailable() {
    return false;
}

std::unique_ptr<IHistoryStore> history_OpenStore(const std::string&, std::string*,
                                                 std::string* error) {
    if (error) *error = kNoStore;
    return nullptr;
}

std::unique_ptr<IHistoryReader> history_OpenReader(const std::string&, const HistoryBusyNotice&,
                                                   HistoryReadStatus* status, std::string* error) {
    if (status) *status = HISTORY_READ_FAILED;
    if (error) *error = kNoStore;
    return nullptr;
}
