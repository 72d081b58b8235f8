// One string from an INI file with GetPrivateProfileStringA.
#include "platform/profile.h"

#include <string.h>
#include <windows.h>

size_t profile_GetString(const char* section, const char* key, const char* defaultValue, char* out,
                         size_t capacity, const char* path) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = '\0';
    const char* fallback = defaultValue ? defaultValue : "";
    // A null section or key would make the call list names instead of reading one value.
    if (section == nullptr || key == nullptr || path == nullptr) {
        lstrcpynA(out, fallback, static_cast<int>(capacity > 0x7fffffff ? 0x7fffffff : capacity));
        return strlen(out);
    }
    // GetPrivateProfileStringA looks for a path that is not absolute in the Windows directory,
    // not the current one; hosts name firmware folders relative to where they run.
    char full[MAX_PATH * 4];
    DWORD fn = GetFullPathNameA(path, sizeof full, full, nullptr);
    const char* file = (fn > 0 && fn < sizeof full) ? full : path;
    DWORD size = capacity > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(capacity);
    return GetPrivateProfileStringA(section, key, fallback, out, size, file);
}
