#include "host/downloader.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/job.h"
#include "host/modem_claim.h"
#include "locator/registry_locator.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "portscan/modem_port_finder.h"
#include "report/job_observer.h"
#include "report/log.h"
#include "report/notify.h"
#include "report/port_report.h"
#include "report/wait.h"

CDownloader::CDownloader() : comNumber(0), sink(nullptr) {
    memset(categoryFlags, 0, sizeof categoryFlags);
    memset(filePaths, 0, sizeof filePaths);
    folderPath[0] = '\0';
    configIniPath[0] = '\0';
}

CDownloader::~CDownloader() = default;

bool CDownloader::SetFirmwareFolder(const char* folder) {
    // Every composed path must fit its buffer whole; a cut path could name another file.
    if (!firmware_FolderFits(folder)) return false;
    firmware_ComposePath(configIniPath, folder, FIRMWARE_CONFIG_NAME);
    if (!ReadUpdateCategories()) return false;
    for (int i = 0; i < FIRMWARE_FILE_COUNT; ++i)
        firmware_ComposePath(filePaths[i], folder, g_firmwareSet[i].name);
    snprintf(folderPath, sizeof folderPath, "%s", folder);
    return CheckFiles();
}

int CDownloader::ReadUpdateCategories() {
    return firmware_ReadCategories(configIniPath, categoryFlags);
}

bool CDownloader::CheckFiles() const {
    return firmware_CheckFiles(folderPath, categoryFlags);
}

std::string CDownloader::BuildFileList() const {
    std::vector<std::string> chosen;
    for (int i = 0; i < FIRMWARE_FILE_COUNT; ++i)
        if (categoryFlags[g_firmwareSet[i].category]) chosen.push_back(filePaths[i]);
    return firmware_JoinList(chosen);
}

bool CDownloader::Download(int32_t* result, int32_t) {
    int32_t local = 0;
    int32_t* out = result ? result : &local;
    *out = DOWNLOAD_FAILED;
    std::string list = BuildFileList();
    *out = SearchPortAndDownload(list.c_str());
    return *out == DOWNLOAD_OK;
}

bool CDownloader::SetSink(IDownloadSink* newSink) {
    sink = newSink;
    sink_Set(newSink);
    clk_SleepMs(11);
    return true;
}

bool CDownloader::Reserved(int32_t) {
    return true;
}

int CDownloader::OpenProbePort(int number) {
    if (prober.Port().IsOpen()) prober.Port().Close();
    return prober.Port().Open(number, 115200, 8, 1);
}

bool CDownloader::ProbeModem() {
    return prober.Probe();
}

namespace {

// A line of the search, whatever the port's log level (the job raises it only later).
void searchLine(const char* text) {
    PortReport* report = report_Port(0);
    int level = report->logLevel;
    if (level < 2) report->logLevel = 2;
    log_Error(0, "%s", text);
    report->logLevel = level;
}

// The USB location and serial number of the modem port with this COM number, where known.
void identify(int32_t comNumber, std::string* location, std::string* serial) {
    location->clear();
    serial->clear();
    for (const ModemPortInfo& p : ports_ListModems()) {
        if (p.comNumber != comNumber) continue;
        *location = p.location;
        *serial = p.serialNumber;
        return;
    }
}

void announce(int kind, int pass, const char* port) {
    WaitNotice w = {};
    w.kind = kind;
    w.attempt = pass;
    w.attempts = MAX_SEARCH_PASSES;
    w.upToSeconds =
        static_cast<int64_t>(MAX_SEARCH_PASSES - pass + 1) * SEARCH_PASS_PAUSE_MS / 1000;
    snprintf(w.command, sizeof w.command, "%s", port);
    wait_Notify(0, &w);  // the search's output stays its first line
}

}  // namespace

int CDownloader::SearchPortAndDownload(const char* list) {
    CModemPortFinder finder;
    locator_Install();  // the job's reopens find the modem as this search does
    report_JobBegin(0);
    report_Phase(0, JOB_PROBING, 0);
    printf("search port start!\n");
    fflush(stdout);
    // The modem belongs to this update from its probe to its last check: its lock is taken
    // before the probe port opens and kept through the job.
    CModemClaim claim;
    bool found = false;
    bool busy = false;       // the last pass found the port held by another program
    bool announced = false;  // the search's wait, and a busy port's, are told once each
    bool busyAnnounced = false;
    bool unlockedSaid = false;
    for (int pass = 1; pass <= MAX_SEARCH_PASSES; ++pass) {
        comNumber = finder.FindComNumber();
        char port[32];
        snprintf(port, sizeof port, "COM%d", comNumber);
        if (comNumber > 0) {
            std::string location, serial;
            identify(comNumber, &location, &serial);
            int claimed = claim.Take(location, serial, port);
            if (claimed == CLAIM_HELD) {
                std::string words = claim.Words(claimed);
                searchLine(("\n#Error: " + words + "\n\n").c_str());
                report_NoteDetail(0, words.c_str());
                report_Fail(0, JOB_STEP_SEARCH);
                report_Phase(0, JOB_FINISHED, 0);
                return DOWNLOAD_FAILED;
            }
            if (claimed == CLAIM_TAKEN_OVER)
                searchLine(("warning: " + claim.Words(claimed) + "\n").c_str());
            if (claimed == CLAIM_UNLOCKED && !unlockedSaid) {
                searchLine(("#Warning: " + claim.Words(claimed) + "\n").c_str());
                unlockedSaid = true;
            }
        }
        if (OpenProbePort(comNumber) && ProbeModem()) {
            found = true;
            break;
        }
        busy = comNumber > 0 && serial_LastOpenWasBusy() != 0;
        if (pass < MAX_SEARCH_PASSES) {
            if (busy && !busyAnnounced) {
                announce(WAIT_PORT_BUSY, pass + 1, port);
                busyAnnounced = true;
            } else if (!busy && !announced) {
                announce(WAIT_MODEM, pass + 1, port);
                announced = true;
            }
        }
        clk_SleepMs(SEARCH_PASS_PAUSE_MS);
    }
    wait_End(0);
    if (!found) {
        char why[128];
        if (busy)
            snprintf(why, sizeof why,
                     "COM%d is held by another program (it opens for one program at a time)",
                     comNumber);
        else
            snprintf(why, sizeof why, "no modem answered the probe within %d search passes",
                     MAX_SEARCH_PASSES);
        if (busy) searchLine((std::string("\n#Error: ") + why + "\n\n").c_str());
        report_NoteDetail(0, why);
        report_Fail(0, JOB_STEP_SEARCH);
        report_Phase(0, JOB_FINISHED, 0);
        return DOWNLOAD_FAILED;
    }
    prober.Port().Close();

    char portName[32];
    snprintf(portName, sizeof portName, "COM%d", comNumber);
    printf("the port is %s!\n", portName);
    fflush(stdout);
    std::string copy = list ? list : "";
    int result = DownloadResultOf(dl_RunJob(0, portName, copy.c_str()));
    claim.Release();  // after the last check
    if (result == DOWNLOAD_OK) sink_Send(0, EVENT_SUCCESS, 100);
    return result;
}
