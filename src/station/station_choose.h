// Which modems a station run takes: pure functions over the ports found, so that the rules
// (one modem per location, location order, at most 16, a location given twice, one where no
// modem is) are tested without modems.
#ifndef MODEMFLASH_STATION_STATION_CHOOSE_H
#define MODEMFLASH_STATION_STATION_CHOOSE_H

#include <string>
#include <vector>

#include "portscan/modem_port_finder.h"
#include "station/station.h"

// The modem ports of a walk, one per location (a device with two modem ports counts once:
// its first port in walk order), in location order; ports without a location are left to
// the single-modem host.
std::vector<ModemPortInfo> station_ModemsByLocation(const std::vector<ModemPortInfo>& ports);

struct StationChoice {
    std::vector<ModemPortInfo> chosen;     // to update now, in location order, at most 16
    std::vector<StationOutcome> outcomes;  // the modems that end without a job, and why
    std::vector<std::string> notices;      // lines about the choice, in the order found
};

// The modems to update among those present (station_ModemsByLocation): every one when
// locations is empty, else the ones at these locations (a location given twice is taken
// once, one where no modem is ends "not found"); beyond 16 the others end "left out".
StationChoice station_ChooseModems(const std::vector<ModemPortInfo>& present,
                                   const std::vector<std::string>& locations,
                                   const std::string& folder);

// The modem ports present that have no USB location, each as an outcome without a job
// (STATION_NO_LOCATION), named by its port: a station updates none of them, and says so.
std::vector<StationOutcome> station_PortsWithoutLocation(const std::vector<ModemPortInfo>& ports,
                                                         const std::string& folder);

#endif
