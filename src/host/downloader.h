// The downloader object: the host's one entry into an update.
#ifndef MODEMFLASH_HOST_DOWNLOADER_H
#define MODEMFLASH_HOST_DOWNLOADER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "host/probe_port.h"
#include "modemflash/downloader.h"

#define CATEGORY_COUNT 12
#define CATEGORY_FIRMWARE 7
#define CATEGORY_CD_IMAGE 8
#define CATEGORY_PRODUCT_CONFIG 9
#define FIRMWARE_PATH_CAPACITY 256
#define UPDATE_CAT_CAPACITY 40
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
    int32_t categoryFlags[CATEGORY_COUNT];           // categories chosen so far; never cleared
    char productConfigPath[FIRMWARE_PATH_CAPACITY];  // folder\productConfig.bin
    char modemPath[FIRMWARE_PATH_CAPACITY];          // folder\modem.wrapped
    char loaderPath[FIRMWARE_PATH_CAPACITY];         // folder\loader.wrapped
    char massStoragePath[FIRMWARE_PATH_CAPACITY];    // folder\mass_storage.wrapped
    char secondaryBootPath[FIRMWARE_PATH_CAPACITY];  // folder\secondary_boot.wrapped
    char factoryTestsPath[FIRMWARE_PATH_CAPACITY];   // folder\factory_tests.wrapped
    char nocdIsoPath[FIRMWARE_PATH_CAPACITY];        // folder\nocd.iso.wrapped
    int32_t comNumber;                               // COM number of the latest search pass
    char configIniPath[FIRMWARE_PATH_CAPACITY];      // folder\update_config.ini
    CAtProber prober;                                // the probe used by the search
    IDownloadSink* sink;                             // registered by SetSink; not owned
};

// One number per ';'-separated piece, as atoi reads it (an empty piece is 0), except that a
// number beyond the range of int is INT_MAX (or INT_MIN), never one wrapped around.
std::vector<int> SplitToIntegers(const char* text, char separator);

// The host's result code for a job result (1 for DL_OK, 13, 15, 14, else 0).
int DownloadResultOf(int jobResult);
// A host result (DOWNLOAD_*) in words, the same for every host: "update complete", "the
// firmware transfer failed", ... What failed in detail is the job's failure record
// (report/job_observer.h).
const char* DownloadResultWords(int downloadResult);

// A regular file that opens for reading and holds at least 2 bytes.
bool IsUsableFile(const char* path);
// Why path is not usable ("missing", "not a regular file", "unreadable", "shorter than 2
// bytes"), or null when it is.
const char* FirmwareFileProblem(const char* path);

#endif
