#include "host/downloader.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/job.h"
#include "locator/registry_locator.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "portscan/modem_port_finder.h"
#include "report/job_observer.h"
#include "report/log.h"
#include "report/notify.h"

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

int CDownloader::SearchPortAndDownload(const char* list) {
    CModemPortFinder finder;
    locator_Install();  // the job's reopens find the modem as this search does
    report_JobBegin(0);
    report_Phase(0, JOB_PROBING, 0);
    printf("search port start!\n");
    fflush(stdout);
    bool found = false;
    for (int pass = 0; pass < MAX_SEARCH_PASSES; ++pass) {
        comNumber = finder.FindComNumber();
        if (OpenProbePort(comNumber) && ProbeModem()) {
            found = true;
            break;
        }
        clk_SleepMs(SEARCH_PASS_PAUSE_MS);
    }
    if (!found) {
        char why[96];
        snprintf(why, sizeof why, "no modem answered the probe within %d search passes",
                 MAX_SEARCH_PASSES);
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
    if (result == DOWNLOAD_OK) sink_Send(0, EVENT_SUCCESS, 100);
    return result;
}
