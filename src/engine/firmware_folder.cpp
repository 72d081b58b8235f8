// Reading a firmware folder.
#include "engine/firmware_folder.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/file.h"
#include "platform/profile.h"

namespace {

// The longest name composed into the folder.
const char kLongestName[] = "secondary_boot.wrapped";

}  // namespace

bool firmware_FolderFits(const char* folder) {
    return folder != nullptr && strlen(folder) + 1 + strlen(kLongestName) < FIRMWARE_PATH_CAPACITY;
}

int firmware_FolderMax(void) {
    return static_cast<int>(FIRMWARE_PATH_CAPACITY - 2 - strlen(kLongestName));
}

void firmware_ComposePath(char* out, const char* folder, const char* name) {
    snprintf(out, FIRMWARE_PATH_CAPACITY, "%s\\%s", folder, name);
}

int firmware_ReadCategories(const char* iniPath, int chosen[CATEGORY_COUNT]) {
    char value[UPDATE_CAT_CAPACITY];
    memset(value, 0, sizeof value);
    profile_GetString("update flag", "update_cat", "-1", value, sizeof value, iniPath);
    if (strcmp(value, "-1") == 0) return 0;
    for (int n : SplitToIntegers(value, ';'))
        if (n >= 0 && n < CATEGORY_COUNT) chosen[n] = 1;  // others name no category
    return 1;
}

bool firmware_CheckFiles(const char* folder, const int chosen[CATEGORY_COUNT]) {
    bool ok = true;
    for (int category = 0; category < CATEGORY_COUNT; ++category) {
        if (!chosen[category]) continue;
        for (int rank = 0;; ++rank) {
            const FirmwareFileSpec* file = nullptr;
            for (const FirmwareFileSpec& f : g_firmwareSet)
                if (f.category == category && f.checkRank == rank) file = &f;
            if (file == nullptr) break;
            char path[FIRMWARE_PATH_CAPACITY];
            firmware_ComposePath(path, folder, file->name);
            if (!IsUsableFile(path)) {
                ok = false;
                break;
            }
        }
    }
    return ok;
}

std::vector<std::string> firmware_ChosenPaths(const char* folder,
                                              const int chosen[CATEGORY_COUNT]) {
    std::vector<std::string> paths;
    for (const FirmwareFileSpec& f : g_firmwareSet) {
        if (!chosen[f.category]) continue;
        char path[FIRMWARE_PATH_CAPACITY];
        firmware_ComposePath(path, folder, f.name);
        paths.push_back(path);
    }
    return paths;
}

std::string firmware_JoinList(const std::vector<std::string>& paths) {
    std::string list;
    for (const std::string& p : paths) {
        if (!list.empty()) list += ";";
        list += p;
    }
    return list;
}

bool firmware_ReadFolder(const char* folder, std::vector<std::string>* paths) {
    paths->clear();
    if (!firmware_FolderFits(folder)) return false;
    char ini[FIRMWARE_PATH_CAPACITY];
    firmware_ComposePath(ini, folder, FIRMWARE_CONFIG_NAME);
    int chosen[CATEGORY_COUNT] = {};
    if (!firmware_ReadCategories(ini, chosen)) return false;
    if (!firmware_CheckFiles(folder, chosen)) return false;
    *paths = firmware_ChosenPaths(folder, chosen);
    return true;
}

std::vector<int> SplitToIntegers(const char* text, char separator) {
    std::vector<int> numbers;
    if (text == nullptr) return numbers;
    const char* p = text;
    for (;;) {
        const char* sep = strchr(p, separator);
        size_t len = sep ? static_cast<size_t>(sep - p) : strlen(p);
        char piece[UPDATE_CAT_CAPACITY];
        if (len >= sizeof piece) len = sizeof piece - 1;
        memcpy(piece, p, len);
        piece[len] = '\0';
        // Read as atoi reads (blanks, sign, digits), but a number beyond the range of int
        // stays beyond it: wrapped around, 4294967303 would choose category 7.
        long long n = strtoll(piece, nullptr, 10);
        if (n > INT_MAX) n = INT_MAX;
        if (n < INT_MIN) n = INT_MIN;
        numbers.push_back(static_cast<int>(n));
        if (sep == nullptr) break;
        p = sep + 1;
    }
    return numbers;
}

const char* FirmwareFileProblem(const char* path) {
    switch (file_Kind(path)) {
        case FILE_KIND_MISSING:
            return "missing";
        case FILE_KIND_OTHER:
            return "not a regular file";
        default:
            break;
    }
    FILE* f = file_Open(path, "rb");
    if (f == nullptr) return "unreadable";
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    rewind(f);
    fclose(f);
    if (size < 0) return "unreadable";
    return size > 1 ? nullptr : "shorter than 2 bytes";
}

bool IsUsableFile(const char* path) {
    return FirmwareFileProblem(path) == nullptr;
}
