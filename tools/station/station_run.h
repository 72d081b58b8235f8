// The station in the command-line host: `flash FOLDER --all | --at LOCATION...` and
// `watch FOLDER` run the station (src/station) linked into the program, show one line per
// modem, and end with a summary table.
#ifndef MODEMFLASH_TOOLS_STATION_RUN_H
#define MODEMFLASH_TOOLS_STATION_RUN_H

#include <string>
#include <vector>

#include "cli/flash/flash_exit.h"
#include "history/history_path.h"

class CStation;
class IHistoryShipping;
class IHistoryStore;
class IStationListener;

namespace cli {

// What runs beside the station and sees all it does (the dashboard of `serve`): it starts once
// the station is set up and before any modem is touched, and stops after the last update.
class StationCompanion {
  public:
    virtual ~StationCompanion() = default;
    // How the station's records go to the fleet's server (null: they do not), before Listener;
    // it can be asked until Stop.
    virtual void SetShipping(const IHistoryShipping* shipping) { (void)shipping; }
    // The listener the station's calls reach after the history has recorded them; it passes
    // each on to display.
    virtual IStationListener* Listener(IStationListener* display) = 0;
    // False (with the reason) ends the run before any update begins.
    virtual bool Start(CStation* station, std::string* why) = 0;
    virtual void Stop() = 0;
};

struct StationRunOptions {
    std::string folder;
    bool all = false;                    // every modem present
    std::vector<std::string> locations;  // or these
    bool watch = false;                  // station mode until Ctrl-C
    bool json = false;
    std::string logDir;     // one log file per modem, named by location
    bool rawLog = false;    // the log files take the library's bytes as they are
    std::string timeScale;  // --time-scale as given ("" none); checked as flash checks it
    bool force =
        false;  // an archive under another file's name or empty is a warning, not a refusal
    HistoryOptions history;  // where each modem's update is recorded
    std::string recordDir;   // one session file per modem in it ("" none)
    bool recordPayload = false;
    StationCompanion* companion = nullptr;  // runs beside the station (may be null)
};

// Exit status: 0 when every modem was updated; otherwise the `flash` status of the first
// failure in location order (4 no modem or a step failed, 5 programming refused, 6 transfer
// failed, 7 mode switch failed); 3 the folder was refused; 2 a bad command line; 1 the
// companion could not start.
int runStation(StationRunOptions options);

// Whether text can be a USB location as `modemflash ports` shows them: not empty, and no
// blank or control character in it ("1-1.2 " is a typing slip, not a location).
bool plausibleLocation(const std::string& text);

// The text of the station's help footers.
extern const char kStationFooter[];

}  // namespace cli

#endif
