// Locations as a person reads them, and the log file named by one.
#include <algorithm>
#include <string>

#include "station/station.h"

namespace {

// A file name usable on every system, from a location.
std::string fileNameOf(const std::string& location) {
    std::string name = location;
    for (char& c : name) {
        bool keep = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    c == '-' || c == '.' || c == '_' || c == '#';
        if (!keep) c = '_';
    }
    return name.empty() ? "unknown" : name;
}

}  // namespace

bool station_LocationLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::string station_ResultText(const StationResult& r) {
    return r.failure.empty() ? r.words : r.words + ": " + r.failure;
}

std::string station_LogFileName(const std::string& location) {
    return fileNameOf(location) + ".log";
}

const char* station_PhaseKey(StationPhase phase) {
    switch (phase) {
        case STATION_PROBING:
            return "probing";
        case STATION_ENTERING_LOADER:
            return "entering_loader";
        case STATION_SENDING:
            return "sending";
        case STATION_PROGRAMMING:
            return "programming";
        case STATION_RETURNING:
            return "returning";
        case STATION_CHECKING_AUTORUN:
            return "checking_autorun";
        default:
            return "finished";
    }
}

const char* station_PhaseWords(StationPhase phase) {
    switch (phase) {
        case STATION_PROBING:
            return "probing";
        case STATION_ENTERING_LOADER:
            return "switching to loader";
        case STATION_SENDING:
            return "sending";
        case STATION_PROGRAMMING:
            return "programming";
        case STATION_RETURNING:
            return "returning to modem mode";
        case STATION_CHECKING_AUTORUN:
            return "checking autorun";
        default:
            return "finished";
    }
}
