// Which history file a command uses.
#ifndef MODEMFLASH_HISTORY_HISTORY_PATH_H
#define MODEMFLASH_HISTORY_HISTORY_PATH_H

#include <string>

// The history options a command was given.
struct HistoryOptions {
    std::string file;   // --history FILE ("" not given)
    bool none = false;  // --no-history
    // --history-server URI: the fleet's server each record is shipped to ("" not given; see
    // history_ChooseServer).
    std::string server;
    std::string station;  // --station-name N ("" the machine's name)
};

// The server to ship to: --history-server, else the environment variable
// MODEMFLASH_HISTORY_SERVER; "" none.
std::string history_ChooseServer(const HistoryOptions& options);

// The file to use: --no-history gives "", then --history FILE, then the environment variable
// MODEMFLASH_HISTORY, then the default (history_DefaultPath). *chosen is true when the user
// named the file (option or variable) rather than taking the default.
std::string history_ChoosePath(const HistoryOptions& options, bool* chosen);

// <state directory>/modemflash/history.sqlite3 ($XDG_STATE_HOME, else ~/.local/state, on
// POSIX; %LOCALAPPDATA% on Windows); "" when the environment names no such directory.
std::string history_DefaultPath();

#endif
