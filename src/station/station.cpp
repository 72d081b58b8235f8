// The station: one download job per modem, each on its own thread and port index.
#include "station/station.h"

#include <algorithm>

#include "engine/firmware_folder.h"
#include "locator/registry_locator.h"
#include "station/station_choose.h"
#include "station/station_job.h"

CStation::CStation() : impl_(new Impl) {
    locator_Install();  // every job's reopen looks for its modem at its location
}

CStation::~CStation() {
    delete impl_;
}

bool CStation::SetFirmwareFolder(const char* folder) {
    LockGuard g(impl_->lock);
    // Every folder is read afresh, categories too, as the host's SetFirmwareFolder reads one.
    std::vector<std::string> paths;
    impl_->folderSet = firmware_ReadFolder(folder, &paths);
    impl_->folder = folder ? folder : "";
    impl_->list = firmware_JoinList(paths);
    impl_->fileCount = static_cast<int>(paths.size());
    return impl_->folderSet;
}

void CStation::SetListener(IStationListener* listener) {
    LockGuard g(impl_->lock);
    impl_->listener = listener;
}

void CStation::SetLogDirectory(const char* dir) {
    LockGuard g(impl_->lock);
    impl_->logDir = dir ? dir : "";
}

void CStation::SetConsoleLog(bool on) {
    LockGuard g(impl_->lock);
    impl_->consoleLog = on;
}

void CStation::RequestStop() {
    impl_->stop = true;
}

bool CStation::StopRequested() const {
    return impl_->stop;
}

std::vector<StationModem> CStation::Running() const {
    std::vector<StationModem> running;
    LockGuard g(impl_->lock);
    for (Job* job : impl_->jobs)
        if (job != nullptr && !job->done) running.push_back(job->modem);
    return running;
}

std::vector<StationOutcome> CStation::RunOnce(const std::vector<std::string>& locations) {
    std::vector<StationOutcome> outcomes;
    if (!impl_->folderSet) {
        impl_->notice("no firmware folder has been accepted: nothing is updated");
        return outcomes;
    }
    StationChoice choice = station_ChooseModems(station_ModemsByLocation(ports_ListModems()),
                                                locations, impl_->folder);
    for (const std::string& line : choice.notices) impl_->notice(line);
    outcomes = choice.outcomes;

    impl_->begin();
    std::vector<Job*> jobs;
    for (const ModemPortInfo& p : choice.chosen) {
        if (impl_->stop) {
            StationOutcome o;
            o.modem.location = p.location;
            o.modem.serialNumber = p.serialNumber;
            o.modem.folder = impl_->folder;
            o.result = station_NotRun("not started: the station was stopped");
            outcomes.push_back(o);
            continue;
        }
        if (Job* job = impl_->start(p)) jobs.push_back(job);
    }
    for (Job* job : jobs) outcomes.push_back(impl_->finish(job));
    impl_->end();
    std::stable_sort(outcomes.begin(), outcomes.end(),
                     [](const StationOutcome& a, const StationOutcome& b) {
                         return station_LocationLess(a.modem.location, b.modem.location);
                     });
    return outcomes;
}
