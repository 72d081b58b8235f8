// Station mode: each modem updated as it appears, until a stop is requested.
#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "station/station_choose.h"
#include "station/station_job.h"

namespace {

const uint32_t kWatchPollMs = 1000;  // how often station mode looks for new modems
const uint32_t kWaitStepMs = 50;

}  // namespace

std::vector<StationOutcome> CStation::Watch() {
    std::vector<StationOutcome> outcomes;
    if (!impl_->folderSet) {
        impl_->notice("no firmware folder has been accepted: nothing is updated");
        return outcomes;
    }
    impl_->begin();
    std::vector<Job*> running;
    // The modem last updated at each location (by serial number), for as long as it stays.
    std::map<std::string, std::string> updated;
    bool leftOutSaid = false;
    std::set<std::string> unplacedSaid;  // ports without a location, named once while present
    while (!impl_->stop) {
        for (size_t i = 0; i < running.size();) {
            if (!running[i]->done) {
                ++i;
                continue;
            }
            std::string serial = running[i]->modem.serialNumber;
            std::string location = running[i]->modem.location;
            outcomes.push_back(impl_->finish(running[i]));
            updated[location] = serial;
            running.erase(running.begin() + static_cast<long>(i));
        }
        std::vector<ModemPortInfo> ports = ports_ListModems();
        std::set<std::string> unplaced;
        for (const StationOutcome& o : station_PortsWithoutLocation(ports, impl_->folder)) {
            unplaced.insert(o.modem.portName);
            if (unplacedSaid.insert(o.modem.portName).second)
                impl_->notice(o.modem.portName + ": " + o.result.words);
        }
        for (auto it = unplacedSaid.begin(); it != unplacedSaid.end();)
            it = unplaced.count(*it) ? std::next(it) : unplacedSaid.erase(it);
        std::vector<ModemPortInfo> present = station_ModemsByLocation(ports);
        for (auto it = updated.begin(); it != updated.end();) {
            auto here = std::find_if(present.begin(), present.end(), [&](const ModemPortInfo& p) {
                return p.location == it->first && p.serialNumber == it->second;
            });
            it = here == present.end() ? updated.erase(it) : std::next(it);  // unplugged
        }
        for (const ModemPortInfo& p : present) {
            if (impl_->stop) break;
            if (updated.count(p.location)) continue;
            bool busy = false;
            for (Job* job : running) busy = busy || job->modem.location == p.location;
            if (busy) continue;
            if (running.size() >= STATION_MAX_MODEMS) {
                if (!leftOutSaid) impl_->notice("16 updates are running: " + p.location + " waits");
                leftOutSaid = true;
                break;
            }
            if (Job* job = impl_->start(p)) running.push_back(job);
        }
        for (uint32_t waited = 0; waited < kWatchPollMs && !impl_->stop; waited += kWaitStepMs)
            clk_SleepMs(kWaitStepMs);
    }
    if (!running.empty()) {
        std::string names;
        for (Job* job : running) names += " " + job->modem.location;
        impl_->notice("stopping: no new updates; waiting for the running ones:" + names);
    }
    for (Job* job : running) outcomes.push_back(impl_->finish(job));
    impl_->end();
    return outcomes;
}
