// The firmware set: the seven files a firmware folder may hold, once for every part that
// names them. In load order (the order a download sends them), each with its update category
// (the number in update_config.ini's update_cat), the sink event that names it in a download,
// its place in the search of the event table (notify.h: the first fragment a name contains
// decides its code), its place in the check of a folder, and the archive IDs that belong
// under its name.
#ifndef MODEMFLASH_REPORT_FIRMWARE_SET_H
#define MODEMFLASH_REPORT_FIRMWARE_SET_H

#include <stdint.h>

#define FIRMWARE_FILE_COUNT 7
#define FIRMWARE_IDS_MAX 4

#define CATEGORY_COUNT 12  // update_cat numbers 0..11 name a category
#define CATEGORY_FIRMWARE 7
#define CATEGORY_CD_IMAGE 8
#define CATEGORY_PRODUCT_CONFIG 9

struct FirmwareFileSpec {
    const char* name;     // "loader.wrapped"
    int category;         // CATEGORY_FIRMWARE, CATEGORY_CD_IMAGE or CATEGORY_PRODUCT_CONFIG
    int eventCode;        // DownloadEventCode of the file's sink events
    int eventSearchRank;  // 0..6: its name's place among the event table's fragments
    int checkRank;        // its place in the check of its category's files (0 first), which
                          // stops at the category's first file that cannot be sent
    int idCount;          // archive IDs that belong under this name
    uint32_t ids[FIRMWARE_IDS_MAX];
};

// The seven files in load order.
extern const FirmwareFileSpec g_firmwareSet[FIRMWARE_FILE_COUNT];

// The file of that name (no folder), or null.
const FirmwareFileSpec* firmware_ByName(const char* name);
// The file an archive ID belongs under, or null.
const FirmwareFileSpec* firmware_OwnerOfId(uint32_t id);

#endif
