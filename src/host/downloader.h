// The downloader object: the host's one entry into an update.
#ifndef MODEMFLASH_HOST_DOWNLOADER_H
#define MODEMFLASH_HOST_DOWNLOADER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "engine/firmware_folder.h"
#include "engine/job.h"
#include "host/probe_port.h"
#include "modemflash/downloader.h"

#define MAX_SEARCH_PASSES 60
#define SEARCH_PASS_PAUSE_MS 1000

class CDownloader : public IDownloader {
  public:
    CDownloader();
    virtual ~CDownloader();

    bool Download(int32_t* result, int32_t ignored) override;
    bool SetFirmwareFolder(const char* folder) override;
    bool SetSink(IDownloadSink* sink) override;
    bool Reserved(int32_t value) override;

    // The ';'-separated list of the chosen categories' files, in download order.
    std::string BuildFileList() const;
    // Finds and probes the modem's port (up to 60 passes), runs the job on it, and maps the
    // job's result to a DownloadResult.
    int SearchPortAndDownload(const char* list);
    int OpenProbePort(int number);
    bool ProbeModem();
    // Reads "update_cat" of section "update flag"; 1 on success, 0 when it says "-1".
    int ReadUpdateCategories();
    // The file check of the chosen categories.
    bool CheckFiles() const;

    const int32_t* CategoryFlags() const { return categoryFlags; }
    int ComNumber() const { return comNumber; }
    const char* ConfigIniPath() const { return configIniPath; }

  private:
    int32_t categoryFlags[CATEGORY_COUNT];  // categories chosen so far; never cleared
    // folder\<name> of each file of the firmware set, in its load order
    char filePaths[FIRMWARE_FILE_COUNT][FIRMWARE_PATH_CAPACITY];
    int32_t comNumber;                           // COM number of the latest search pass
    char configIniPath[FIRMWARE_PATH_CAPACITY];  // folder\update_config.ini
    char folderPath[FIRMWARE_PATH_CAPACITY];     // the folder given last
    CAtProber prober;                            // the probe used by the search
    IDownloadSink* sink;                         // registered by SetSink; not owned
};

#endif
