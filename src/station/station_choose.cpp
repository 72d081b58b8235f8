// Which modems a station run takes.
#include "station/station_choose.h"

#include <algorithm>

#include "station/station_job.h"

namespace {

bool byLocation(const ModemPortInfo& a, const ModemPortInfo& b) {
    return station_LocationLess(a.location, b.location);
}

StationOutcome endsUnrun(const ModemPortInfo& port, const std::string& folder, int reason,
                         const char* words) {
    StationOutcome o;
    o.modem.location = port.location;
    o.modem.serialNumber = port.serialNumber;
    o.modem.portName = port.portName;
    o.modem.folder = folder;
    o.result = station_NotRun(words);
    o.result.leftOut = reason;
    return o;
}

}  // namespace

std::vector<ModemPortInfo> station_ModemsByLocation(const std::vector<ModemPortInfo>& ports) {
    std::vector<ModemPortInfo> out;
    for (const ModemPortInfo& p : ports) {
        if (p.location.empty()) continue;
        bool seen = false;
        for (const ModemPortInfo& q : out) seen = seen || q.location == p.location;
        if (!seen) out.push_back(p);
    }
    std::sort(out.begin(), out.end(), byLocation);
    return out;
}

StationChoice station_ChooseModems(const std::vector<ModemPortInfo>& present,
                                   const std::vector<std::string>& locations,
                                   const std::string& folder) {
    StationChoice c;
    if (locations.empty()) {
        c.chosen = present;
    } else {
        std::vector<std::string> asked;
        for (const std::string& l : locations) {
            if (std::find(asked.begin(), asked.end(), l) != asked.end()) {
                c.notices.push_back("location " + l +
                                    " is given more than once: it is updated once");
                continue;
            }
            asked.push_back(l);
            auto it = std::find_if(present.begin(), present.end(),
                                   [&](const ModemPortInfo& p) { return p.location == l; });
            if (it != present.end()) {
                c.chosen.push_back(*it);
            } else {
                c.notices.push_back("no modem port at location " + l);
                ModemPortInfo absent;
                absent.comNumber = 0;
                absent.location = l;
                StationOutcome o =
                    endsUnrun(absent, folder, STATION_NOT_FOUND, "no modem port at this location");
                c.outcomes.push_back(o);
            }
        }
        std::sort(c.chosen.begin(), c.chosen.end(), byLocation);
    }
    if (c.chosen.size() > STATION_MAX_MODEMS) {
        std::string names;
        for (size_t i = STATION_MAX_MODEMS; i < c.chosen.size(); ++i) {
            names += " " + c.chosen[i].location;
            c.outcomes.push_back(endsUnrun(c.chosen[i], folder, STATION_OVER_LIMIT,
                                           "left out: at most 16 modems are updated at once"));
        }
        c.notices.push_back(std::to_string(c.chosen.size()) + " modems present, at most " +
                            std::to_string(STATION_MAX_MODEMS) + " at once; left out:" + names);
        c.chosen.resize(STATION_MAX_MODEMS);
    }
    return c;
}

std::vector<StationOutcome> station_PortsWithoutLocation(const std::vector<ModemPortInfo>& ports,
                                                         const std::string& folder) {
    std::vector<StationOutcome> out;
    for (const ModemPortInfo& p : ports) {
        if (!p.location.empty()) continue;
        // Windows keeps the device of a modem unplugged long ago with the COM name it had; a
        // present modem at a location that has that name now is the port, not a second modem.
        bool named = std::any_of(ports.begin(), ports.end(), [&p](const ModemPortInfo& q) {
            return !q.location.empty() && q.portName == p.portName;
        });
        if (named) continue;
        StationOutcome o = endsUnrun(
            p, folder, STATION_NO_LOCATION,
            "left out: its port has no USB location, so no station can follow it through its "
            "mode switches (update it on its own with `modemflash flash`)");
        o.modem.location = p.portName;  // the only name it has
        out.push_back(o);
    }
    return out;
}
