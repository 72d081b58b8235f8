#include "history/history_path.h"

#include "platform/env.h"

std::string history_ChoosePath(const HistoryOptions& options, bool* chosen) {
    bool named = false;
    std::string path;
    if (!options.none) {
        const char* env = env_Get("MODEMFLASH_HISTORY");
        if (!options.file.empty()) {
            path = options.file;
            named = true;
        } else if (env != nullptr && *env != '\0') {
            path = env;
            named = true;
        } else {
            path = history_DefaultPath();
        }
    }
    if (chosen) *chosen = named;
    return path;
}

std::string history_DefaultPath() {
    char dir[4096];
    if (!env_StateDir(dir, sizeof dir)) return "";
    std::string base = dir;
    // Join with the separator the directory itself uses (a Windows folder has only '\').
    char sep =
        base.find('/') == std::string::npos && base.find('\\') != std::string::npos ? '\\' : '/';
    if (!base.empty() && base.back() != sep) base += sep;
    return base + "modemflash" + sep + "history.sqlite3";
}

std::string history_ChooseServer(const HistoryOptions& options) {
    if (!options.server.empty()) return options.server;
    const char* env = env_Get("MODEMFLASH_HISTORY_SERVER");
    return env ? env : "";
}
