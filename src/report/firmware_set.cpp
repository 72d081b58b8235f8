// The firmware set.
#include "report/firmware_set.h"

#include <string.h>

#include "modemflash/downloader.h"

// The firmware files carry the archive whose device path is their own name, the CD image the
// zero-CD archive, the product configuration one of the modem's data files.
const FirmwareFileSpec g_firmwareSet[FIRMWARE_FILE_COUNT] = {
    {"loader.wrapped", CATEGORY_FIRMWARE, EVENT_LOADER, 1, 1, 1, {3}},
    {"secondary_boot.wrapped", CATEGORY_FIRMWARE, EVENT_SECONDARY_BOOT, 5, 4, 1, {1}},
    {"factory_tests.wrapped", CATEGORY_FIRMWARE, EVENT_FACTORY_TESTS, 0, 0, 1, {2}},
    {"modem.wrapped", CATEGORY_FIRMWARE, EVENT_MODEM, 3, 3, 1, {0}},
    {"mass_storage.wrapped", CATEGORY_FIRMWARE, EVENT_MASS_STORAGE, 2, 2, 1, {7}},
    {"nocd.iso.wrapped", CATEGORY_CD_IMAGE, EVENT_NOCD_ISO, 4, 0, 1, {6}},
    {"productConfig.bin", CATEGORY_PRODUCT_CONFIG, EVENT_PRODUCT_CONFIG, 6, 0, 4, {4, 5, 8, 9}},
};

const FirmwareFileSpec* firmware_ByName(const char* name) {
    for (const FirmwareFileSpec& f : g_firmwareSet)
        if (name != nullptr && strcmp(f.name, name) == 0) return &f;
    return nullptr;
}

const FirmwareFileSpec* firmware_OwnerOfId(uint32_t id) {
    for (const FirmwareFileSpec& f : g_firmwareSet)
        for (int i = 0; i < f.idCount; ++i)
            if (f.ids[i] == id) return &f;
    return nullptr;
}
