// Builds without SQLite (the Windows cross build) keep no history.
#include "history/history_store.h"

bool history_StoreAvailable() {
    return false;
}

std::unique_ptr<IHistoryStore> history_OpenStore(const std::string&, std::string*,
                                                 std::string* error) {
    if (error) *error = "this build of modemflash keeps no update history (built without SQLite)";
    return nullptr;
}
