// Builds without a PostgreSQL client (the Windows build, or libpq missing) keep the local
// history only: every call about the server says why it is not there.
#include "history/history_server.h"
#include "history/history_shipper.h"

#ifndef MODEMFLASH_SERVER_ABSENT
#define MODEMFLASH_SERVER_ABSENT                                                             \
    "the history server is not available in this build of modemflash (it has no PostgreSQL " \
    "client)"
#endif

bool history_ServerAvailable() {
    return false;
}

std::string history_ServerUnavailable() {
    return MODEMFLASH_SERVER_ABSENT;
}

std::unique_ptr<IHistoryServer> history_OpenServer(const std::string&, bool, const HistoryGiveUp&,
                                                   std::string* error) {
    if (error) *error = history_ServerUnavailable();
    return nullptr;
}

std::unique_ptr<IHistoryShipper> history_StartShipper(const std::string&, const std::string&,
                                                      HistoryWarn, std::string* error) {
    if (error) *error = history_ServerUnavailable();
    return nullptr;
}

bool history_SyncNow(IHistoryStore& local, const std::string&, HistorySyncCount* count,
                     std::string* error) {
    *count = HistorySyncCount();
    HistoryFilter pending;
    pending.pendingOnly = true;
    std::string ignored;
    local.Count(pending, &count->left, &ignored);
    if (error) *error = history_ServerUnavailable();
    return false;
}
