// Fuzz target: update_config.ini through the profile reader and the category reading.
//
// The input is the whole file. SetFirmwareFolder reads "update_cat" of "[update flag]" and
// tests the chosen files (none exist in the folder). A category may be chosen only by a piece
// of the value that names it: the number a piece holds, read as far as it is a number, and
// not one that wrapped around on the way.
#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>

#include "host/downloader.h"
#include "platform/profile.h"

namespace {

std::string g_folder;
std::string g_ini;

// The numbers the value's pieces name (as far as each is a decimal number that fits an int).
std::set<long> named(const char* value) {
    std::set<long> out;
    std::string v(value);
    size_t start = 0;
    for (;;) {
        size_t end = v.find(';', start);
        std::string piece =
            v.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (piece.size() >= UPDATE_CAT_CAPACITY) piece.resize(UPDATE_CAT_CAPACITY - 1);
        errno = 0;
        long n = strtol(piece.c_str(), nullptr, 10);
        if (errno == 0 && n >= INT_MIN && n <= INT_MAX) out.insert(n);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_folder.empty()) {
        // A folder of its own below the current directory (scripts/fuzz.sh runs each target
        // in a scratch folder).
        char tmpl[] = "mffuzzini.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        g_folder = tmpl;
        g_ini = g_folder + "/update_config.ini";
    }
    FILE* f = fopen(g_ini.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0 && fwrite(data, 1, size, f) != size) abort();
    fclose(f);

    // The profile reader on its own: the copy fits and is terminated, whatever the capacity.
    char small[8];
    memset(small, 0x7E, sizeof small);
    size_t n = profile_GetString("update flag", "update_cat", "-1", small, 5, g_ini.c_str());
    if (n > 4 || small[n] != '\0' || small[5] != 0x7E) abort();

    char value[UPDATE_CAT_CAPACITY];
    profile_GetString("update flag", "update_cat", "-1", value, sizeof value, g_ini.c_str());
    std::vector<int> numbers = SplitToIntegers(value, ';');
    size_t pieces = 1;
    for (const char* p = value; *p; ++p) pieces += *p == ';';
    if (numbers.size() != pieces) abort();

    CDownloader d;
    bool accepted = d.SetFirmwareFolder(g_folder.c_str());
    const bool refused = strcmp(value, "-1") == 0;
    const std::set<long> names = named(value);
    bool any = false;
    for (int c = 0; c < CATEGORY_COUNT; ++c) {
        int flag = d.CategoryFlags()[c];
        if (flag != 0 && flag != 1) abort();
        if (flag && (refused || names.count(c) == 0)) abort();  // chosen by no piece
        if (!refused && !flag && names.count(c)) abort();       // named but not chosen
        any = any || flag;
    }
    // No chosen file exists: only a value that chooses none of 7, 8 and 9 is accepted.
    const int32_t* flags = d.CategoryFlags();
    bool needsFiles =
        flags[CATEGORY_FIRMWARE] || flags[CATEGORY_CD_IMAGE] || flags[CATEGORY_PRODUCT_CONFIG];
    if (accepted != (!refused && !needsFiles)) abort();
    (void)any;
    return 0;
}
